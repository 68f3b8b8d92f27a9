// Python callables held by native function objects (the tokenizer and the
// detokenizer). Calls, copies and destruction take the interpreter lock, so
// native code may use them from any thread.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/error_notes.hpp"
#include "grammar/stepper.hpp"

namespace zel::bindings {

namespace nb = nanobind;

// Builds a str from UTF-8 bytes; text that is not valid UTF-8 is "bad cast".
nb::object utf8_to_python(const std::string &text);

template <typename Return, typename Argument> class PythonCallable {
public:
    explicit PythonCallable(nb::handle callable) : callable_(callable.ptr()) {
        Py_XINCREF(callable_);
    }
    PythonCallable(const PythonCallable &other) : callable_(other.callable_) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_XINCREF(callable_);
        PyGILState_Release(gil);
    }
    PythonCallable(PythonCallable &&other) noexcept : callable_(other.callable_) {
        other.callable_ = nullptr;
    }
    PythonCallable &operator=(const PythonCallable &) = delete;
    PythonCallable &operator=(PythonCallable &&) = delete;
    ~PythonCallable() {
        if (callable_) {
            PyGILState_STATE gil = PyGILState_Ensure();
            Py_DECREF(callable_);
            PyGILState_Release(gil);
        }
    }

    Return operator()(Argument argument) const {
        nb::gil_scoped_acquire gil;
        nb::object python_argument;
        try {
            python_argument = to_python(argument);
        } catch (const std::bad_cast &) {
            raise_bad_cast(std::string(role()) + " could not be called: its argument is not valid UTF-8");
        }
        nb::object result = nb::handle(callable_)(python_argument);
        try {
            return nb::cast<Return>(result);
        } catch (const std::bad_cast &) {
            raise_bad_cast(std::string(role()) + " returned " + type_description(result) + ", expected " +
                           expected());
        }
    }

    using argument_type = Argument;
    nb::handle callable() const { return callable_; }
    // Drops the callable (garbage collection); the function object then
    // holds nothing.
    void release() {
        PyObject *callable = callable_;
        callable_ = nullptr;
        Py_XDECREF(callable);
    }

private:
    static constexpr bool kEncodes = std::is_same_v<Argument, std::string>;
    static const char *role() { return kEncodes ? "encode_function" : "decode_function"; }
    static const char *expected() {
        return kEncodes ? "a list of token ids (int, 0 to 2**31 - 1)" : "a str";
    }
    static nb::object to_python(const std::string &text) { return utf8_to_python(text); }
    static nb::object to_python(const std::vector<TokenId> &ids) { return nb::cast(ids); }

    PyObject *callable_;
};

using PythonEncode = PythonCallable<std::vector<TokenId>, std::string>;
using PythonDecode = PythonCallable<std::string, std::vector<TokenId>>;

// The Python object that stands for a function object: the callable it
// wraps, None when it is empty, or a new callable around a native function.
template <typename Wrapper, typename Function> nb::object function_to_python(const Function &function) {
    if (!function)
        return nb::none();
    if (const Wrapper *wrapper = function.template target<Wrapper>())
        return nb::borrow(wrapper->callable());
    return nb::cpp_function([function](typename Wrapper::argument_type argument) {
        return function(std::move(argument));
    });
}

} // namespace zel::bindings

namespace nanobind::detail {

// Function objects cross the boundary as the Python callables they wrap;
// None is an empty function object, and any other non-callable is refused.
template <typename Function, typename Wrapper> struct python_function_caster {
    bool from_python(handle src, uint8_t, cleanup_list *) noexcept {
        Function &value = static_cast<type_caster<Function> *>(this)->value;
        if (src.is_none()) {
            value = nullptr;
            return true;
        }
        if (!PyCallable_Check(src.ptr()))
            return false;
        value = Wrapper(src);
        return true;
    }
    static handle from_cpp(const Function &function, rv_policy, cleanup_list *) noexcept {
        try {
            return zel::bindings::function_to_python<Wrapper>(function).release();
        } catch (...) {
            return handle();
        }
    }
};

template <>
struct type_caster<zel::DecodeFunction>
    : python_function_caster<zel::DecodeFunction, zel::bindings::PythonDecode> {
    NB_TYPE_CASTER(zel::DecodeFunction,
                   const_name("collections.abc.Callable[[collections.abc.Sequence[int]], str]"))
    using python_function_caster::from_cpp;
    using python_function_caster::from_python;
};

template <>
struct type_caster<zel::EncodeFunction>
    : python_function_caster<zel::EncodeFunction, zel::bindings::PythonEncode> {
    NB_TYPE_CASTER(zel::EncodeFunction,
                   const_name("collections.abc.Callable[[str], collections.abc.Sequence[int]]"))
    using python_function_caster::from_cpp;
    using python_function_caster::from_python;
};

} // namespace nanobind::detail
