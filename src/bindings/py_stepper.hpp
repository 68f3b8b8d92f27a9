// PyStepper: the native side of a Python subclass of Stepper. Its
// overridable operations run the subclass's Python method when there is one,
// and its clones are instances of the same subclass.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>
#include <nanobind/trampoline.h>

#include "bindings/callables.hpp"
#include "bindings/current_value.hpp"
#include "bindings/dispatch.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel::bindings {

class PyStepper final : public Stepper {
public:
    NB_TRAMPOLINE(Stepper);
    using Base = Stepper;
    using Steppers = std::vector<StepperRef>;
    using Strings = std::vector<std::string>;

    StepperRef clone() override {
        return dispatch<StepperRef>(dispatch_, "clone", [&] { return Base::clone(); });
    }
    bool should_start_step(const std::string &token) override {
        return dispatch<bool>(
            dispatch_, "should_start_step", [&] { return Base::should_start_step(token); }, token);
    }
    bool should_complete_step() override {
        return dispatch<bool>(dispatch_, "should_complete_step",
                              [&] { return Base::should_complete_step(); });
    }
    bool should_branch() override {
        return dispatch<bool>(dispatch_, "should_branch", [&] { return Base::should_branch(); });
    }
    bool accepts_any_token() override {
        return dispatch<bool>(dispatch_, "accepts_any_token",
                              [&] { return Base::accepts_any_token(); });
    }
    bool can_accept_more_input() override {
        return dispatch<bool>(dispatch_, "can_accept_more_input",
                              [&] { return Base::can_accept_more_input(); });
    }
    bool has_reached_accept_state() override {
        return dispatch<bool>(dispatch_, "has_reached_accept_state",
                              [&] { return Base::has_reached_accept_state(); });
    }
    bool is_within_value() override {
        return dispatch<bool>(dispatch_, "is_within_value",
                              [&] { return Base::is_within_value(); });
    }
    Steppers consume(const std::string &token) override {
        return dispatch<Steppers>(
            dispatch_, "consume", [&] { return Base::consume(token); }, token);
    }
    Strings get_valid_continuations() override {
        return dispatch<Strings>(dispatch_, "get_valid_continuations",
                                 [&] { return Base::get_valid_continuations(); });
    }
    Strings get_invalid_continuations() override {
        return dispatch<Strings>(dispatch_, "get_invalid_continuations",
                                 [&] { return Base::get_invalid_continuations(); });
    }
    Steppers get_final_state() override {
        return dispatch<Steppers>(dispatch_, "get_final_state",
                                  [&] { return Base::get_final_state(); });
    }
    CurrentValue get_current_value() override {
        return dispatch<CurrentValue>(dispatch_, "get_current_value",
                                      [&] { return Base::get_current_value(); });
    }
    std::string get_raw_value() override {
        return dispatch<std::string>(dispatch_, "get_raw_value",
                                     [&] { return Base::get_raw_value(); });
    }
    void add_to_history(StepperRef stepper) override {
        dispatch<void>(
            dispatch_, "add_to_history", [&] { Base::add_to_history(stepper); }, stepper);
    }
    std::optional<std::string> get_identifier() override {
        return dispatch<std::optional<std::string>>(dispatch_, "get_identifier",
                                                    [&] { return Base::get_identifier(); });
    }
    std::string get_token_safe_output(const DecodeFunction &decode_function) override {
        return dispatch<std::string>(
            dispatch_, "get_token_safe_output",
            [&] { return Base::get_token_safe_output(decode_function); }, decode_function);
    }
    std::string repr() override {
        return dispatch<std::string>(dispatch_, "__repr__", [&] { return Base::repr(); });
    }

protected:
    // A clone of a subclass instance is made by its class, called with the
    // machine as the only argument.
    StepperRef make_clone_target() override {
        nb::gil_scoped_acquire gil;
        nb::handle cls = nb::handle(nb_trampoline.self).type();
        nb::object made = cls(get_state_machine());
        StepperRef copy;
        if (!nb::try_cast<StepperRef>(made, copy) || !copy)
            raise_bad_cast(nb::cast<std::string>(cls.attr("__name__")) + "(state_machine) made " +
                           type_description(made) + " while cloning, expected a Stepper");
        return copy;
    }

private:
    DispatchTable<18> dispatch_{nb_trampoline.self};
};

} // namespace zel::bindings
