// Helpers for the garbage-collector slots of the shared classes: a native
// reference to an object that has a Python object is a reference to that
// Python object, and the collector must see it to break cycles.
#pragma once

#include <nanobind/nanobind.h>

namespace zel::bindings {

inline int visit_shared(const nanobind::intrusive_base *object, visitproc visit, void *arg) {
    if (!object)
        return 0;
    if (PyObject *python_object = object->self_py())
        Py_VISIT(python_object);
    return 0;
}

} // namespace zel::bindings
