#include "bindings/current_value.hpp"
#include "support/stack_guard.hpp"

#include <nanobind/stl/string.h>

#include "bindings/callables.hpp"

namespace zel::bindings {

namespace {

nb::object text_to_python(const std::string &text) { return utf8_to_python(text); }

} // namespace

nb::object json_to_python(const nlohmann::json &value) {
    // Values nest as deeply as the text does.
    ensure_stack_room();
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
    case Type::null:
        return nb::none();
    case Type::boolean:
        return nb::bool_(value.get<bool>());
    case Type::number_integer:
        return nb::steal(PyLong_FromLongLong(value.get<int64_t>()));
    case Type::number_unsigned:
        return nb::steal(PyLong_FromUnsignedLongLong(value.get<uint64_t>()));
    case Type::number_float:
        return nb::float_(value.get<double>());
    case Type::string:
        return text_to_python(value.get_ref<const std::string &>());
    case Type::array: {
        nb::list list;
        for (const nlohmann::json &element : value)
            list.append(json_to_python(element));
        return std::move(list);
    }
    case Type::object: {
        nb::dict dict;
        for (auto member = value.begin(); member != value.end(); ++member)
            dict[text_to_python(member.key())] = json_to_python(member.value());
        return std::move(dict);
    }
    default:
        throw std::runtime_error("JSON value has no Python form");
    }
}

nb::object current_value_to_python(const CurrentValue &value) {
    if (std::holds_alternative<std::monostate>(value))
        return nb::none();
    if (const double *number = std::get_if<double>(&value))
        return nb::float_(*number);
    if (const JsonValue *json = std::get_if<JsonValue>(&value)) {
        try {
            return json_to_python(json->json);
        } catch (const nb::python_error &) {
            return nb::str(json->raw.data(), json->raw.size());
        } catch (const std::exception &) {
            return nb::str(json->raw.data(), json->raw.size());
        }
    }
    if (const std::string *raw = std::get_if<std::string>(&value))
        return nb::str(raw->data(), raw->size());
    return nb::borrow(static_cast<PyObject *>(std::get<HostValue>(value).object.get()));
}

HostValue hold_python_object(nb::handle object) {
    PyObject *held = object.inc_ref().ptr();
    return HostValue{std::shared_ptr<void>(held, [](void *pointer) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(static_cast<PyObject *>(pointer));
        PyGILState_Release(gil);
    })};
}

} // namespace zel::bindings
