#include "bindings/callables.hpp"

namespace zel::bindings {

nb::object utf8_to_python(const std::string &text) {
    PyObject *str = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
    if (!str) {
        PyErr_Clear();
        throw std::bad_cast();
    }
    return nb::steal(str);
}

} // namespace zel::bindings
