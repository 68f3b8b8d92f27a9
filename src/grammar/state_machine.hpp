// A StateMachine is one grammar rule: a graph of states whose edges each carry
// a sub-machine that must be walked to cross the edge.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "grammar/refs.hpp"
#include "grammar/state_id.hpp"

namespace zel {

// (sub-machine, target state)
using Edge = std::pair<StateMachineRef, StateId>;
// Edge order is significant; state order is the map's own.
using StateGraph = std::unordered_map<StateId, std::vector<Edge>>;
// (Stepper at the start of an edge's sub-machine, target state)
using Transition = std::pair<StepperRef, StateId>;

class StateMachine : public nanobind::intrusive_base {
public:
    StateGraph state_graph;
    StateId start_state;
    std::vector<StateId> end_states;
    bool is_optional;
    bool is_case_sensitive;
    std::optional<std::string> identifier;

    explicit StateMachine(StateGraph state_graph = {}, StateId start_state = 0,
                          std::vector<StateId> end_states = {std::string("$")},
                          bool is_optional = false, bool is_case_sensitive = true,
                          std::optional<std::string> identifier = std::nullopt);
    StateMachine(const StateMachine &) = default;
    StateMachine(StateMachine &&) = default;
    virtual ~StateMachine();

    // Traversal: creating Steppers, listing edges and advancing by text.
    virtual StepperRef get_new_stepper(std::optional<StateId> state);
    virtual std::vector<StepperRef> get_steppers(std::optional<StateId> state);
    virtual std::vector<Edge> get_edges(StateId state);
    virtual std::vector<Transition> get_transitions(StepperRef stepper);
    virtual std::vector<StepperRef> branch_stepper(StepperRef stepper,
                                                   std::optional<std::string> token);
    virtual std::vector<StepperRef> advance_stepper(StepperRef stepper, std::string token);

    // Structural equality: one-directional, sub-machines compared by name.
    virtual bool equals(StateMachineRef other);

    // Renderings: the class name, and the detailed coloured graph.
    virtual std::string to_string();
    virtual std::string repr(uint32_t indentation_level);

    // Name of the class this machine is an instance of, as the host sees it.
    virtual std::string class_name();
    // The identifier, or else the class name.
    std::string display_name();

    bool is_end_state(const StateId &state) const;

    // The objects this machine refers to, for the garbage collector: calls
    // visit with the machine of every edge and stops at the first non-zero
    // answer.
    template <typename Visit> int visit_references(Visit &&visit) const {
        for (const auto &entry : state_graph)
            for (const Edge &edge : entry.second)
                if (int stop = visit(edge.first.get()))
                    return stop;
        return 0;
    }
};

} // namespace zel
