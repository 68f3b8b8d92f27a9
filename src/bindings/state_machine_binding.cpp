// StateMachine: constructor, properties, traversal, equality and renderings.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/argument_checks.hpp"
#include "bindings/gc.hpp"
#include "bindings/py_state_machine.hpp"
#include "bindings/registration.hpp"
#include "paths/batch_advance.hpp"
#include "support/replace.hpp"

namespace zel::bindings {

namespace {

// Every edge must name a machine: None is not a sub-machine.
StateGraph checked_graph(StateGraph graph) {
    for (const auto &entry : graph)
        for (const Edge &edge : entry.second)
            if (!edge.first)
                throw nb::type_error("every edge needs a StateMachine, not None");
    return graph;
}

int clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    release(nb::inst_ptr<StateMachine>(self)->state_graph);
    return 0;
}

PyType_Slot slots[] = {
    {Py_tp_traverse, (void *) traverse_instance<StateMachine>}, {Py_tp_clear, (void *) clear}, {0, nullptr}};

} // namespace

void bind_state_machine(nb::module_ &module) {
    using Steppers = std::vector<StepperRef>;
    nb::class_<StateMachine, PyStateMachine>(
        module, "StateMachine",
        "Defines a grammar as a finite state machine with transitions between states.",
        nb::intrusive_ptr<StateMachine>(
            [](StateMachine *machine, PyObject *self) noexcept { machine->set_self_py(self); }),
        nb::type_slots(slots))
        .def(
            "__init__",
            [](nb::pointer_and_handle<StateMachine> self, StateGraph state_graph,
               StateId start_state, std::vector<StateId> end_states, bool is_optional,
               bool is_case_sensitive, std::optional<std::string> identifier) {
                StateGraph graph = checked_graph(std::move(state_graph));
                // A Python subclass gets the variant that dispatches to its methods.
                if (nb::inst_python_derived(self.h))
                    new (static_cast<void *>(self.p))
                        PyStateMachine(std::move(graph), std::move(start_state), std::move(end_states),
                                       is_optional, is_case_sensitive, std::move(identifier));
                else
                    new (self.p) StateMachine(std::move(graph), std::move(start_state),
                                              std::move(end_states), is_optional, is_case_sensitive,
                                              std::move(identifier));
            },
            nb::arg("state_graph") = StateGraph{}, nb::arg("start_state") = StateId(0),
            nb::arg("end_states") = std::vector<StateId>{std::string("$")},
            nb::arg("is_optional") = false, nb::arg("is_case_sensitive") = true,
            nb::arg("identifier").none() = nb::none(), "Initialize a new state machine.")
        .def_static(
            "advance_all",
            [](std::vector<StepperRef> steppers, const std::string &token, const TrieMap *vocab,
               bool token_healing) {
                return advance_all(checked_steppers(std::move(steppers)), token, vocab, token_healing)
                    .release();
            },
            nb::arg("steppers"), nb::arg("token"), nb::arg("vocab").none() = nb::none(),
            nb::arg("token_healing") = true,
            "Advance multiple steppers with a token using parallel processing.")
        .def_static(
            "advance_all_basic",
            [](std::vector<StepperRef> steppers, const std::string &token) {
                return advance_all_basic(checked_steppers(std::move(steppers)), token);
            },
            nb::arg("steppers"), nb::arg("token"),
            "Simplified version of advance_all that returns just the steppers.")
        .def_prop_rw(
            "state_graph", [](StateMachine &self) { return self.state_graph; },
            [](StateMachine &self, StateGraph graph) { replace(self.state_graph, checked_graph(std::move(graph))); },
            nb::for_getter(nb::rv_policy::automatic), "The graph of states and transitions")
        .def_rw("start_state", &StateMachine::start_state, "The starting state for this state machine")
        .def_rw("end_states", &StateMachine::end_states,
                "The set of states that represent valid end points")
        .def_rw("is_optional", &StateMachine::is_optional, "Whether this state machine is optional")
        .def_rw("is_case_sensitive", &StateMachine::is_case_sensitive,
                "Whether token matching is case-sensitive")
        .def_rw("identifier", &StateMachine::identifier, nb::for_setter(nb::arg("value").none()),
                "The identifier for this state machine")
        .def(
            "get_new_stepper",
            [](StateMachine &self, std::optional<StateId> state) {
                return self.StateMachine::get_new_stepper(std::move(state));
            },
            nb::arg("state").none() = nb::none(),
            "Create a new stepper for traversing this state machine.")
        .def(
            "get_steppers",
            [](StateMachine &self, std::optional<StateId> state) {
                return self.StateMachine::get_steppers(std::move(state));
            },
            nb::arg("state").none() = nb::none(), "Create multiple steppers for this state machine.")
        .def(
            "get_edges",
            [](StateMachine &self, StateId state) { return self.StateMachine::get_edges(std::move(state)); },
            nb::arg("state"), "Get the outgoing edges from a given state.")
        .def(
            "get_transitions",
            [](StateMachine &self, StepperRef stepper) {
                return self.StateMachine::get_transitions(std::move(stepper));
            },
            nb::arg("stepper"), "Get possible transitions for a stepper.")
        .def(
            "advance_stepper",
            [](StateMachine &self, StepperRef stepper, std::string token) -> Steppers {
                return self.advance_stepper(std::move(stepper), std::move(token));
            },
            nb::arg("stepper"), nb::arg("token"), "Advance a stepper by consuming a token.")
        .def(
            "branch_stepper",
            [](StateMachine &self, StepperRef stepper, std::optional<std::string> token) -> Steppers {
                return self.branch_stepper(std::move(stepper), std::move(token));
            },
            nb::arg("stepper"), nb::arg("token").none() = nb::none(),
            "Create multiple branched steppers from a given stepper.")
        .def(
            "__eq__",
            [](StateMachine &self, StateMachineRef other) { return self.StateMachine::equals(std::move(other)); },
            nb::arg("other"), "Check equality based on structure, states, and properties.")
        .def("__eq__", &not_comparable, nb::arg("other").none(), kNotComparableDoc)
        .def(
            "__repr__",
            [](StateMachine &self, uint32_t indentation_level) {
                return self.StateMachine::repr(indentation_level);
            },
            nb::arg("indentation_level") = 0,
            "Get a detailed string representation of this state machine.")
        .def(
            "__str__", [](StateMachine &self) { return self.StateMachine::to_string(); },
            "Get a simple string representation of this state machine.");
}

} // namespace zel::bindings
