#include "bindings/dispatch.hpp"

#include <nanobind/stl/string.h>

namespace zel::bindings {

namespace {

// The innermost override call running on this thread.
thread_local OverrideCall *innermost_call = nullptr;

// The binding library's own function types: an attribute of one of these
// types is the bound native method, not a Python override.
bool is_native_function(PyObject *attribute) {
    static PyTypeObject *function_types[3] = {nullptr, nullptr, nullptr};
    if (!function_types[0]) {
        nb::object machine_class = nb::module_::import_("zel_core").attr("StateMachine");
        nb::object method = machine_class.attr("__dict__")["get_edges"];
        nb::object getter = machine_class.attr("__dict__")["start_state"].attr("fget");
        nb::object bound = machine_class().attr("get_edges");
        function_types[0] = Py_TYPE(method.ptr());
        function_types[1] = Py_TYPE(getter.ptr());
        function_types[2] = Py_TYPE(bound.ptr());
    }
    PyTypeObject *type = Py_TYPE(attribute);
    return type == function_types[0] || type == function_types[1] || type == function_types[2];
}

} // namespace

PyObject *resolve_override(PyObject *self, const char *name) {
    nb::str key(name);
    PyObject *interned = key.ptr();
    Py_INCREF(interned);
    PyUnicode_InternInPlace(&interned);
    nb::object owned_key = nb::steal(interned);

    PyObject *attribute = PyObject_GetAttr(self, interned);
    if (!attribute) {
        PyErr_Clear();
        nb::str type_name = nb::inst_name(self);
        throw std::runtime_error(std::string("could not look up ") + type_name.c_str() +
                                 "." + name);
    }
    bool overridden = !is_native_function(attribute);
    Py_DECREF(attribute);
    return overridden ? owned_key.release().ptr() : nullptr;
}

std::string override_name(nb::handle self, const char *name) {
    return nb::cast<std::string>(self.type().attr("__name__")) + "." + name;
}

OverrideCall::OverrideCall(PyObject *self, PyObject *key, const char *name)
    : gil_(PyGILState_Ensure()), self_(self), key_(key), name_(name),
      outer_(innermost_call) {
    // An override that calls its base method re-enters here through the
    // virtual table; that call belongs to the native operation.
    bool recursive = outer_ && outer_->self_ == self && std::strcmp(outer_->name_, name) == 0;
    active_ = !recursive;
    innermost_call = this;
}

OverrideCall::~OverrideCall() {
    innermost_call = outer_;
    PyGILState_Release(gil_);
}

} // namespace zel::bindings
