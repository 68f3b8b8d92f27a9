// What Stepper::get_current_value reports, before the host turns it into one
// of its own objects.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

namespace zel {

// An object that belongs to the host language (a Python override's result),
// passed through the core untouched. The deleter releases it.
struct HostValue {
    std::shared_ptr<void> object;
};

// The raw text parsed as one JSON value; `raw` is the fallback should the
// host fail to convert `json`.
struct JsonValue {
    nlohmann::json json;
    std::string raw;
};

// monostate: no value (empty raw text); double: a number; std::string: raw
// text that is neither a number nor JSON.
using CurrentValue = std::variant<std::monostate, double, JsonValue, std::string, HostValue>;

// Parses raw text: a number first, then JSON, else the text itself.
CurrentValue parse_current_value(const std::string &raw);

} // namespace zel
