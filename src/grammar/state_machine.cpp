// The StateMachine model: construction, names and structural equality.
#include "grammar/state_machine.hpp"
#include "support/nested_release.hpp"

#include <algorithm>

namespace zel {

StateMachine::StateMachine(StateGraph state_graph, StateId start_state,
                           std::vector<StateId> end_states, bool is_optional,
                           bool is_case_sensitive, std::optional<std::string> identifier)
    : state_graph(std::move(state_graph)), start_state(std::move(start_state)),
      end_states(std::move(end_states)), is_optional(is_optional),
      is_case_sensitive(is_case_sensitive), identifier(std::move(identifier)) {}

std::string StateMachine::class_name() { return "StateMachine"; }

std::string StateMachine::display_name() {
    return identifier ? *identifier : class_name();
}

StateMachine::~StateMachine() {
    NestedRelease release;
    for (auto &[state, edges] : state_graph)
        for (Edge &edge : edges)
            release.release(edge.first);
}

bool StateMachine::is_end_state(const StateId &state) const {
    return std::find(end_states.begin(), end_states.end(), state) != end_states.end();
}

bool StateMachine::equals(StateMachineRef other) {
    if (other.get() == this)
        return true;
    // Only the states this machine holds are visited, and sub-machines are
    // compared by display name: a may equal b while b differs from a.
    for (const auto &entry : state_graph) {
        std::vector<Edge> mine = get_edges(entry.first);
        std::vector<Edge> theirs = other->get_edges(entry.first);
        if (mine.size() != theirs.size())
            return false;
        for (size_t i = 0; i < mine.size(); ++i) {
            if (mine[i].first->display_name() != theirs[i].first->display_name())
                return false;
            if (mine[i].second != theirs[i].second)
                return false;
        }
    }
    return identifier == other->identifier && start_state == other->start_state &&
           end_states == other->end_states && is_optional == other->is_optional &&
           is_case_sensitive == other->is_case_sensitive;
}

} // namespace zel
