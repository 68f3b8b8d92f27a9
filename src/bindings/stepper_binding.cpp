// Stepper: constructor, properties, the stepping protocol, values and
// renderings. Methods run the native operation of the Stepper class; a Python
// subclass's overrides take part wherever that operation calls them.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/callables.hpp"
#include "bindings/current_value.hpp"
#include "bindings/argument_checks.hpp"
#include "bindings/gc.hpp"
#include "bindings/py_stepper.hpp"
#include "bindings/registration.hpp"

namespace zel::bindings {

namespace {

using Steppers = std::vector<StepperRef>;

} // namespace

void bind_stepper(nb::module_ &module) {
    nb::class_<Stepper, PyStepper>(
        module, "Stepper", "Represents a position within a state machine and manages traversal.",
        nb::intrusive_ptr<Stepper>(
            [](Stepper *stepper, PyObject *self) noexcept { stepper->set_self_py(self); }),
        nb::type_slots(stepper_gc_slots))
        .def(nb::init<StateMachineRef, std::optional<StateId>>(), nb::arg("state_machine"),
             nb::arg("current_state").none() = nb::none(),
             "Initialize a new stepper for traversing a state machine.")
        .def_prop_rw(
            "state_machine", [](Stepper &self) { return self.get_state_machine(); },
            [](Stepper &self, StateMachineRef machine) { self.set_state_machine(std::move(machine)); },
            nb::for_getter(nb::rv_policy::automatic), "The state machine associated with this stepper")
        .def_prop_rw(
            "_raw_value", [](Stepper &self) { return self.get_raw_value_field(); },
            [](Stepper &self, std::optional<std::string> value) { self.set_raw_value_field(std::move(value)); },
            nb::for_setter(nb::arg("value").none()), "The raw accumulated value as a string")
        .def_prop_rw(
            "remaining_input", [](Stepper &self) { return self.get_remaining_input(); },
            [](Stepper &self, std::optional<std::string> value) { self.set_remaining_input(std::move(value)); },
            nb::for_setter(nb::arg("value").none()), "Any remaining input that hasn't been consumed yet")
        .def_prop_rw(
            "sub_stepper", [](Stepper &self) { return self.get_sub_stepper(); },
            [](Stepper &self, StepperRef sub) { self.set_sub_stepper(std::move(sub)); },
            nb::for_getter(nb::sig("def sub_stepper(self, /) -> Stepper | None")),
            nb::for_getter(nb::rv_policy::automatic),
            nb::for_setter(nb::arg("value").none()), "The sub-stepper handling a nested state machine traversal")
        .def_prop_rw(
            "history", [](Stepper &self) { return self.get_history(); },
            [](Stepper &self, Steppers history) { self.set_history(checked_steppers(std::move(history))); },
            nb::for_getter(nb::rv_policy::automatic), "The history of steppers that led to the current state")
        .def_prop_rw(
            "current_state", [](Stepper &self) { return self.get_current_state(); },
            [](Stepper &self, StateId state) { self.set_current_state(std::move(state)); },
            "The current state ID within the state machine")
        .def_prop_rw(
            "target_state", [](Stepper &self) { return self.get_target_state(); },
            [](Stepper &self, std::optional<StateId> state) { self.set_target_state(std::move(state)); },
            nb::for_setter(nb::arg("value").none()), "The target state for in-progress transitions")
        .def_prop_rw(
            "consumed_character_count", [](Stepper &self) { return self.get_consumed_character_count(); },
            [](Stepper &self, uint32_t count) { self.set_consumed_character_count(count); },
            "The number of characters consumed by this stepper")
        .def(
            "get_current_value",
            [](Stepper &self) { return current_value_to_python(self.Stepper::get_current_value()); },
            "Get the current parsed value.")
        .def(
            "get_raw_value", [](Stepper &self) { return self.Stepper::get_raw_value(); },
            "Get the raw string value without type conversion.")
        .def(
            "clone", [](Stepper &self) { return self.Stepper::clone(); },
            "Create a copy of this stepper with the same state and history.")
        .def(
            "consume", [](Stepper &self, const std::string &token) { return self.Stepper::consume(token); },
            "Consume a token and advance the stepper.")
        .def(
            "can_accept_more_input", [](Stepper &self) { return self.Stepper::can_accept_more_input(); },
            "Check if the stepper can continue consuming tokens.")
        .def(
            "is_within_value", [](Stepper &self) { return self.Stepper::is_within_value(); },
            "Check if the stepper is currently accumulating a value.")
        .def(
            "is_optional", [](Stepper &self) { return self.Stepper::is_optional(); },
            "Check if this stepper's state machine is optional.")
        .def(
            "get_identifier", [](Stepper &self) { return self.Stepper::get_identifier(); },
            "Get the identifier for this stepper.")
        .def(
            "should_start_step",
            [](Stepper &self, const std::string &token) { return self.Stepper::should_start_step(token); },
            "Determine if this stepper should begin processing the given token.")
        .def(
            "should_complete_step", [](Stepper &self) { return self.Stepper::should_complete_step(); },
            "Determine if this stepper has finished its current step.")
        .def(
            "should_branch", [](Stepper &self) { return self.Stepper::should_branch(); },
            "Determine if this stepper should branch into multiple paths.")
        .def(
            "get_token_ids_history", [](Stepper &self) { return self.get_token_ids_history(); },
            "Get the history of token IDs consumed by this stepper.")
        .def(
            "accepts_any_token", [](Stepper &self) { return self.Stepper::accepts_any_token(); },
            "Check if this stepper accepts any token input.")
        .def(
            "get_valid_continuations", [](Stepper &self) { return self.Stepper::get_valid_continuations(); },
            "Get the valid token continuations from the current state.")
        .def(
            "get_invalid_continuations",
            [](Stepper &self) { return self.Stepper::get_invalid_continuations(); },
            "Get the invalid token continuations from the current state.")
        .def(
            "has_reached_accept_state",
            [](Stepper &self) { return self.Stepper::has_reached_accept_state(); },
            "Check if the stepper has reached an accept state.")
        .def(
            "add_to_history",
            [](Stepper &self, StepperRef stepper) { self.Stepper::add_to_history(std::move(stepper)); },
            nb::arg("stepper"), "Add a stepper to the history.")
        .def("start_step", &Stepper::start_step, nb::arg("sub_stepper"), nb::arg("target_state"),
             nb::arg("token").none() = nb::none(),
             nb::sig("def start_step(self, sub_stepper: Stepper, target_state: int | str, token: str | None = None) "
                     "-> Stepper | None"),
             "Start a transition to a new state with a sub-stepper.")
        .def("complete_step", &Stepper::complete_step, nb::arg("sub_stepper").none() = nb::none(),
             "Complete a transition started by a sub-stepper.")
        .def("step", &Stepper::step, nb::arg("new_value").none() = nb::none(),
             nb::arg("remaining_input").none() = nb::none(), "Create a new stepper with updated state.")
        .def("branch", &Stepper::branch, nb::arg("token").none() = nb::none(),
             "Create multiple branched steppers to explore different paths.")
        .def(
            "get_token_safe_output",
            [](Stepper &self, const DecodeFunction &decode_function) {
                return self.Stepper::get_token_safe_output(decode_function);
            },
            nb::arg("decode_function").none(), "Get the token safe output for this stepper.")
        .def(
            "get_final_state", [](Stepper &self) { return self.Stepper::get_final_state(); },
            "Get the final state of the stepper.")
        .def(
            "__eq__", [](Stepper &self, StepperRef other) { return self.equals(std::move(other)); },
            "Check equality based on state and accumulated value.")
        .def("__eq__", &not_comparable, nb::arg().none(), kNotComparableDoc)
        .def(
            "__str__", [](Stepper &self) { return self.to_string(); },
            "Get a compact string representation of the stepper.")
        .def(
            "__repr__", [](Stepper &self) { return self.Stepper::repr(); },
            "Get a detailed string representation of the stepper.");
}

} // namespace zel::bindings
