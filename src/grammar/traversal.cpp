// How a StateMachine creates Steppers, lists transitions, branches a Stepper
// and advances one by a token through the hierarchy of sub-machines.
#include <algorithm>
#include <deque>

#include "support/interrupts.hpp"
#include "support/stack_guard.hpp"
#include "grammar/position.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel {

StepperRef StateMachine::get_new_stepper(std::optional<StateId> state) {
    return StepperRef(new Stepper(StateMachineRef(this), std::move(state)));
}

std::vector<StepperRef> StateMachine::get_steppers(std::optional<StateId> state) {
    ensure_stack_room();
    StateId start = state ? *state : start_state;
    StepperRef stepper = get_new_stepper(start);
    if (state_graph.count(start))
        return branch_stepper(stepper, std::nullopt);
    return {stepper};
}

std::vector<Edge> StateMachine::get_edges(StateId state) {
    auto found = state_graph.find(state);
    if (found == state_graph.end())
        return {};
    return found->second;
}

std::vector<Transition> StateMachine::get_transitions(StepperRef stepper) {
    std::vector<Transition> transitions;
    for (Edge &edge : get_edges(stepper->get_current_state())) {
        for (StepperRef &start : edge.first->get_steppers(std::nullopt))
            transitions.emplace_back(std::move(start), edge.second);
    }
    return transitions;
}

std::vector<StepperRef> StateMachine::branch_stepper(StepperRef stepper,
                                                     std::optional<std::string> token) {
    std::vector<StepperRef> result;
    // Skipping any of several optional sub-machines that lead to the same
    // state arrives at one and the same place; what follows from there is
    // walked once. Walking it for each would double the work at every such
    // state along a chain.
    std::vector<StepperRef> skipped;
    for (Transition &transition : get_transitions(stepper)) {
        check_for_interrupt();
        StepperRef started = stepper->start_step(transition.first, transition.second, token);
        if (!started)
            continue;
        result.push_back(started);
        // An optional sub-machine may also be skipped altogether.
        if (transition.first->is_optional()) {
            StepperRef arrived = started->finish_step(StepperRef());
            if (std::any_of(skipped.begin(), skipped.end(),
                            [&](const StepperRef &earlier) { return same_position(arrived, earlier); }))
                continue;
            skipped.push_back(arrived);
            for (StepperRef &next : Stepper::continue_after_step(arrived))
                result.push_back(std::move(next));
        }
    }
    return result;
}

std::vector<StepperRef> StateMachine::advance_stepper(StepperRef stepper, std::string token) {
    ensure_stack_room();
    std::vector<StepperRef> result;
    // Breadth first: everything the token itself yields settles before
    // leftover text is fed again.
    std::deque<std::pair<StepperRef, std::string>> queue;
    queue.emplace_back(std::move(stepper), std::move(token));
    while (!queue.empty()) {
        check_for_interrupt();
        auto [current, text] = std::move(queue.front());
        queue.pop_front();
        if (!current->should_start_step(text))
            continue;
        StepperRef sub = current->get_sub_stepper();
        // A subclass may claim a step without a sub-Stepper to take it.
        if (!sub)
            continue;
        for (StepperRef &advanced : sub->consume(text)) {
            for (StepperRef &completed : current->complete_step(advanced)) {
                std::optional<std::string> rest = completed->get_remaining_input();
                if (rest && completed->should_start_step(*rest)) {
                    completed->set_remaining_input(std::nullopt);
                    queue.emplace_back(completed, std::move(*rest));
                } else {
                    result.push_back(std::move(completed));
                }
            }
        }
    }
    return result;
}

} // namespace zel
