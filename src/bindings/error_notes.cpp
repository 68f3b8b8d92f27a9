#include "bindings/error_notes.hpp"

#include <nanobind/stl/string.h>

namespace nb = nanobind;

namespace zel::bindings {

std::string type_description(nb::handle object) {
    nb::handle type = object.type();
    std::string name = nb::cast<std::string>(type.attr("__qualname__"));
    nb::object module = nb::getattr(type, "__module__", nb::none());
    if (nb::isinstance<nb::str>(module)) {
        std::string prefix = nb::cast<std::string>(module);
        if (prefix != "builtins")
            return prefix + "." + name;
    }
    return name;
}

void raise_with_note(PyObject *type, const std::string &message, const std::string &note) {
    nb::object error = nb::steal(PyObject_CallOneArg(type, nb::str(message.data(), message.size()).ptr()));
    if (!error.is_valid())
        throw nb::python_error();
    error.attr("add_note")(nb::str(note.data(), note.size()));
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

} // namespace zel::bindings
