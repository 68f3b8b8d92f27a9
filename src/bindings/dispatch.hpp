// Dispatch of virtual operations to Python overrides. Each trampoline object
// keeps its own table of decisions, made once per method name on first use
// and never revisited, so an object keeps the behaviour it started with even
// if its class changes later.
#pragma once

#include <array>
#include <cstring>
#include <stdexcept>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>

#include "bindings/error_notes.hpp"
#include "grammar/refs.hpp"

namespace zel::bindings {

namespace nb = nanobind;

// Looks `name` up on `self`: returns the interned name (a new reference) when
// the attribute is Python code, null when it is the bound native method.
PyObject *resolve_override(PyObject *self, const char *name);

// One Python call in progress, holding the interpreter lock. A call that
// would re-enter the same override on the same object (an override calling
// its base method) is not active, so the native operation runs instead.
class OverrideCall {
public:
    OverrideCall(PyObject *self, PyObject *key, const char *name);
    ~OverrideCall();
    OverrideCall(const OverrideCall &) = delete;
    OverrideCall &operator=(const OverrideCall &) = delete;

    explicit operator bool() const { return active_; }
    nb::handle method_owner() const { return self_; }
    PyObject *key() const { return key_; }

private:
    PyGILState_STATE gil_;
    PyObject *self_;
    PyObject *key_;
    const char *name_;
    OverrideCall *outer_;
    bool active_;
};

template <size_t Size> class DispatchTable {
public:
    explicit DispatchTable(PyObject *self) : self_(self) {}
    DispatchTable(const DispatchTable &) = delete;
    DispatchTable &operator=(const DispatchTable &) = delete;

    ~DispatchTable() {
        for (Entry &entry : entries_) {
            if (entry.key) {
                PyGILState_STATE gil = PyGILState_Ensure();
                Py_DECREF(entry.key);
                PyGILState_Release(gil);
            }
        }
    }

    // Null when `name` is not overridden: the caller runs the native
    // operation without touching Python. Otherwise the interned name, valid
    // as long as this table.
    PyObject *decide(const char *name) {
        for (Entry &entry : entries_)
            if (entry.name == name)
                return entry.key;
        for (Entry &entry : entries_) {
            if (entry.name && std::strcmp(entry.name, name) == 0)
                return entry.key;
            if (!entry.name) {
                PyGILState_STATE gil = PyGILState_Ensure();
                PyObject *key = nullptr;
                try {
                    key = resolve_override(self_, name);
                } catch (...) {
                    PyGILState_Release(gil);
                    throw;
                }
                PyGILState_Release(gil);
                entry.name = name;
                entry.key = key;
                return key;
            }
        }
        throw std::logic_error("dispatch table is full");
    }

    PyObject *self() const { return self_; }

private:
    struct Entry {
        const char *name = nullptr;
        PyObject *key = nullptr;
    };
    PyObject *self_;
    std::array<Entry, Size> entries_{};
};

// Rejects results that converted to an empty shared reference (None).
inline void validate(...) {}
template <typename T> void validate(const nb::ref<T> &value) {
    if (!value)
        throw std::bad_cast();
}
template <typename T, typename U> void validate(const std::pair<T, U> &value) {
    validate(value.first);
}
template <typename T> void validate(const std::vector<T> &values) {
    for (const T &value : values)
        validate(value);
}

// How the result of a Python override becomes the native result.
template <typename T> struct OverrideResult {
    static T convert(nb::handle result) {
        T value = nb::cast<T>(result);
        validate(value);
        return value;
    }
};
template <> struct OverrideResult<void> {
    static void convert(nb::handle) {}
};

// What an override must return, in the words of its error note.
template <typename T> struct ExpectedResult {
    static const char *text() { return "a value of the overridden method's type"; }
};
template <> struct ExpectedResult<bool> {
    static const char *text() { return "True or False (a bool)"; }
};
template <> struct ExpectedResult<std::string> {
    static const char *text() { return "a str"; }
};
template <> struct ExpectedResult<std::optional<std::string>> {
    static const char *text() { return "a str or None"; }
};
template <> struct ExpectedResult<std::vector<std::string>> {
    static const char *text() { return "a list of str"; }
};
template <> struct ExpectedResult<StepperRef> {
    static const char *text() { return "a Stepper (not None)"; }
};
template <> struct ExpectedResult<std::vector<StepperRef>> {
    static const char *text() { return "a list of Stepper objects"; }
};
template <typename State> struct ExpectedResult<std::vector<std::pair<StateMachineRef, State>>> {
    static const char *text() { return "a list of (StateMachine, state) pairs, each state an int or a str"; }
};
template <typename State> struct ExpectedResult<std::vector<std::pair<StepperRef, State>>> {
    static const char *text() { return "a list of (Stepper, state) pairs, each state an int or a str"; }
};

// "Class.method": the override as the user wrote it.
std::string override_name(nb::handle self, const char *name);

// Runs `native` unless the object's Python class overrides `name`; then the
// override is called with `python_args` and its result converted. Results
// and arguments that do not convert are the "bad cast" error, with a note
// naming the override.
template <typename Result, typename Table, typename Native, typename... Args>
Result dispatch(Table &table, const char *name, Native &&native, Args &&...python_args) {
    if (PyObject *key = table.decide(name)) {
        OverrideCall call(table.self(), key, name);
        if (call) {
            nb::object result;
            try {
                result = call.method_owner().attr(call.key())(std::forward<Args>(python_args)...);
            } catch (const std::bad_cast &) {
                raise_bad_cast("the arguments of " + override_name(call.method_owner(), name) +
                               " could not be made into Python objects");
            }
            try {
                return OverrideResult<Result>::convert(result);
            } catch (const std::bad_cast &) {
                raise_bad_cast(override_name(call.method_owner(), name) + " returned " +
                               type_description(result) + ", expected " + ExpectedResult<Result>::text());
            }
        }
    }
    return native();
}

} // namespace zel::bindings
