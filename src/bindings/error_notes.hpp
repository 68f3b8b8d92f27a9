// Errors a user can act on. Where an error keeps a fixed message ("bad
// cast", "Couldn't find key."), a note (PEP 678) says which method or
// callable produced what, and what was expected instead.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace zel::bindings {

// "int", "numpy.bool", "generator": the type of `object` as a user writes it.
std::string type_description(nanobind::handle object);

// Raises `type(message)` with `note` attached (as nanobind::python_error).
[[noreturn]] void raise_with_note(PyObject *type, const std::string &message, const std::string &note);

// The "bad cast" error with a note.
[[noreturn]] inline void raise_bad_cast(const std::string &note) {
    raise_with_note(PyExc_RuntimeError, "bad cast", note);
}

} // namespace zel::bindings
