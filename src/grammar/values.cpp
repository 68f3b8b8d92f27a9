// What a Stepper reports of the text it matched: the raw text, a typed value
// parsed from it, the name of the innermost named rule, and the decoded text
// of the tokens it consumed.
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "support/stack_guard.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel {

std::string Stepper::get_raw_value() {
    ensure_stack_room();
    if (std::optional<std::string> own = get_raw_value_field())
        return *own;
    std::string raw;
    for (StepperRef &archived : get_history())
        raw += archived->get_raw_value();
    if (StepperRef sub = get_sub_stepper())
        raw += sub->get_raw_value();
    return raw;
}

CurrentValue Stepper::get_current_value() { return parse_current_value(get_raw_value()); }

std::optional<std::string> Stepper::get_identifier() {
    ensure_stack_room();
    if (StepperRef sub = get_sub_stepper()) {
        if (std::optional<std::string> inner = sub->get_identifier())
            return inner;
    }
    return machine().identifier;
}

std::string call_decode(const DecodeFunction &decode_function, std::vector<TokenId> ids) {
    if (!decode_function)
        throw std::runtime_error("decode_function is None: pass a callable that maps a list of token ids to str");
    return decode_function(std::move(ids));
}

std::vector<TokenId> call_encode(const EncodeFunction &encode_function, std::string text) {
    if (!encode_function)
        throw std::runtime_error("encode_function is None: pass a callable that maps a str to a list of token ids");
    return encode_function(std::move(text));
}

std::string Stepper::get_token_safe_output(const DecodeFunction &decode_function) {
    std::vector<TokenId> ids = get_token_ids_history();
    if (ids.empty())
        return get_raw_value();
    return call_decode(decode_function, std::move(ids));
}

namespace {

// A number written with nothing after it, as std::stod reads it: leading
// white space, decimal or hexadecimal forms, infinities and NaN.
std::optional<double> parse_whole_number(const std::string &raw) {
    const char *begin = raw.c_str();
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE)
        return std::nullopt;
    if (static_cast<size_t>(end - begin) != raw.size())
        return std::nullopt;
    return value;
}

} // namespace

CurrentValue parse_current_value(const std::string &raw) {
    if (raw.empty())
        return std::monostate{};
    if (std::optional<double> number = parse_whole_number(raw))
        return *number;
    try {
        return JsonValue{nlohmann::json::parse(raw), raw};
    } catch (const std::exception &) {
        return raw;
    }
}

} // namespace zel
