// The shared reference count of StateMachine and Stepper: once an object has
// a Python object, native references are references to that Python object.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/counter.inl>

#include "bindings/registration.hpp"

namespace zel::bindings {

void install_reference_hooks() {
    nanobind::intrusive_init(
        [](PyObject *object) noexcept {
            PyGILState_STATE gil = PyGILState_Ensure();
            Py_INCREF(object);
            PyGILState_Release(gil);
        },
        [](PyObject *object) noexcept {
            PyGILState_STATE gil = PyGILState_Ensure();
            Py_DECREF(object);
            PyGILState_Release(gil);
        });
}

} // namespace zel::bindings
