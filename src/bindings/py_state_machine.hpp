// PyStateMachine: the native side of a Python subclass of StateMachine. Its
// overridable operations run the subclass's Python method when there is one.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>
#include <nanobind/trampoline.h>

#include "bindings/dispatch.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel::bindings {

class PyStateMachine final : public StateMachine {
public:
    NB_TRAMPOLINE(StateMachine);
    using Base = StateMachine;

    StepperRef get_new_stepper(std::optional<StateId> state) override {
        return dispatch<StepperRef>(
            dispatch_, "get_new_stepper", [&] { return Base::get_new_stepper(state); }, state);
    }
    std::vector<StepperRef> get_steppers(std::optional<StateId> state) override {
        return dispatch<std::vector<StepperRef>>(
            dispatch_, "get_steppers", [&] { return Base::get_steppers(state); }, state);
    }
    std::vector<Edge> get_edges(StateId state) override {
        return dispatch<std::vector<Edge>>(
            dispatch_, "get_edges", [&] { return Base::get_edges(state); }, state);
    }
    std::vector<Transition> get_transitions(StepperRef stepper) override {
        return dispatch<std::vector<Transition>>(
            dispatch_, "get_transitions", [&] { return Base::get_transitions(stepper); }, stepper);
    }
    bool equals(StateMachineRef other) override {
        return dispatch<bool>(dispatch_, "__eq__", [&] { return Base::equals(other); }, other);
    }
    std::string to_string() override {
        return dispatch<std::string>(dispatch_, "__str__", [&] { return Base::to_string(); });
    }
    std::string repr(uint32_t indentation_level) override {
        return dispatch<std::string>(dispatch_, "__repr__",
                                     [&] { return Base::repr(indentation_level); });
    }
    std::string class_name() override {
        nb::gil_scoped_acquire gil;
        return nb::cast<std::string>(nb::handle(nb_trampoline.self).type().attr("__name__"));
    }

    // Whether the Python class overrides an operation that traversal runs.
    bool overrides_traversal() {
        for (const char *name : {"get_new_stepper", "get_steppers", "get_edges", "get_transitions"})
            if (dispatch_.decide(name))
                return true;
        return false;
    }

private:
    DispatchTable<7> dispatch_{nb_trampoline.self};
};

} // namespace zel::bindings
