// Stepper values as Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/dispatch.hpp"
#include "grammar/current_value.hpp"

namespace zel::bindings {

// A JSON value as Python objects; strings keep embedded NULs and integers
// convert exactly, unsigned 64-bit ones included.
nb::object json_to_python(const nlohmann::json &value);

// The Python object for a value: None, float, the JSON value, the raw text,
// or the very object a Python override returned.
nb::object current_value_to_python(const CurrentValue &value);

// A Python object kept alive inside a native value.
HostValue hold_python_object(nb::handle object);

template <> struct OverrideResult<CurrentValue> {
    static CurrentValue convert(nb::handle result) { return hold_python_object(result); }
};

} // namespace zel::bindings
