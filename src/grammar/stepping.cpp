// The stepping protocol: the questions that decide what a Stepper may do
// next, and the transformations that make its successors. Questions defer to
// the sub-Stepper where there is one; transformations work on clones.
#include "support/stack_guard.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel {

namespace {

// Whether a sub-Stepper lets its parent move on: an optional machine that
// has not started a value may be left at once, anything else when accepted.
bool sub_stepper_is_done(Stepper &sub) {
    if (sub.is_optional() && !sub.is_within_value())
        return true;
    return sub.has_reached_accept_state();
}

} // namespace

bool Stepper::should_start_step(const std::string &token) {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    return sub && sub->should_start_step(token);
}

bool Stepper::should_complete_step() {
    StepperRef sub = get_sub_stepper();
    if (!sub)
        return has_reached_accept_state();
    return sub_stepper_is_done(*sub);
}

bool Stepper::should_branch() {
    StepperRef sub = get_sub_stepper();
    if (has_reached_accept_state() || !sub)
        return !held_machine()->get_edges(get_current_state()).empty();
    return sub_stepper_is_done(*sub);
}

bool Stepper::accepts_any_token() {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    return sub && sub->accepts_any_token();
}

bool Stepper::can_accept_more_input() {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    return sub && sub->can_accept_more_input();
}

bool Stepper::has_reached_accept_state() {
    ensure_stack_room();
    bool at_end = machine().is_end_state(get_current_state());
    StepperRef sub = get_sub_stepper();
    if (!sub)
        return at_end;
    return at_end && sub->has_reached_accept_state();
}

bool Stepper::is_within_value() {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    if (sub)
        return sub->is_within_value();
    return get_consumed_character_count() != 0;
}

std::vector<std::string> Stepper::get_valid_continuations() {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    if (!sub)
        return {};
    return sub->get_valid_continuations();
}

// What the Stepper being walked refuses is refused here too: a leaf deep in
// a grammar is the one that knows which characters it cannot take.
std::vector<std::string> Stepper::get_invalid_continuations() {
    ensure_stack_room();
    StepperRef sub = get_sub_stepper();
    if (!sub)
        return {};
    return sub->get_invalid_continuations();
}

std::vector<StepperRef> Stepper::get_final_state() {
    ensure_stack_room();
    if (has_reached_accept_state())
        return {StepperRef(this)};
    StepperRef sub = get_sub_stepper();
    if (!sub)
        return {};
    std::vector<StepperRef> finals = sub->get_final_state();
    if (finals.empty() && is_within_value())
        return {StepperRef(this)};
    return finals;
}

std::vector<StepperRef> Stepper::consume(const std::string &token) {
    StateMachineRef walked = get_state_machine();
    if (!walked)
        return {};
    return walked->advance_stepper(StepperRef(this), token);
}

StepperRef Stepper::start_step(StepperRef sub_stepper, StateId target_state,
                               std::optional<std::string> token) {
    if (token && !sub_stepper->should_start_step(*token))
        return StepperRef();
    std::optional<StateId> current_target = get_target_state();
    if (current_target && *current_target == target_state && can_accept_more_input())
        return StepperRef(); // the same transition is already under way
    StepperRef copy = clone();
    copy->set_target_state(target_state);
    StepperRef previous = copy->get_sub_stepper();
    if (previous && previous->has_reached_accept_state())
        copy->add_to_history(previous->clone());
    copy->set_sub_stepper(std::move(sub_stepper));
    return copy;
}

// Moves to the target state and forgets the target once nothing more can be
// taken in this transition.
static void arrive_at_target(Stepper &stepper) {
    if (std::optional<StateId> target = stepper.get_target_state())
        stepper.set_current_state(*target);
    if (!stepper.can_accept_more_input())
        stepper.set_target_state(std::nullopt);
}

std::vector<StepperRef> Stepper::complete_step(StepperRef sub_stepper) {
    return continue_after_step(finish_step(std::move(sub_stepper)));
}

StepperRef Stepper::finish_step(StepperRef sub_stepper) {
    StepperRef copy = clone();
    copy->set_sub_stepper(sub_stepper);
    bool advance = true;
    if (sub_stepper) {
        copy->set_remaining_input(sub_stepper->get_remaining_input());
        sub_stepper->set_remaining_input(std::nullopt);
        advance = copy->should_complete_step();
    }
    if (advance)
        arrive_at_target(*copy);
    return copy;
}

std::vector<StepperRef> Stepper::continue_after_step(StepperRef copy) {
    std::vector<StepperRef> result;
    if (copy->has_reached_accept_state() || copy->can_accept_more_input())
        result.push_back(copy);
    if (copy->should_branch()) {
        for (StepperRef &branched : copy->branch(std::nullopt))
            result.push_back(std::move(branched));
    }
    // Archived after branching: the branches were made while the finished
    // sub-Stepper was still in place.
    StepperRef sub = copy->get_sub_stepper();
    if (sub && sub->has_reached_accept_state() && !sub->can_accept_more_input()) {
        copy->add_to_history(sub->clone());
        copy->set_sub_stepper(StepperRef());
    }
    return result;
}

StepperRef Stepper::step(std::optional<std::string> new_value,
                         std::optional<std::string> remaining_input) {
    StepperRef copy = clone();
    std::string value = new_value ? std::move(*new_value) : get_raw_value();
    copy->set_sub_stepper(StepperRef());
    copy->set_consumed_character_count(count_utf8_characters(value));
    copy->set_raw_value_field(std::move(value));
    copy->set_remaining_input(std::move(remaining_input));
    if (copy->should_complete_step())
        arrive_at_target(*copy);
    return copy;
}

std::vector<StepperRef> Stepper::branch(std::optional<std::string> token) {
    ensure_stack_room();
    std::vector<StepperRef> result;
    StepperRef sub = get_sub_stepper();
    if (sub && sub->should_branch() && !sub->has_reached_accept_state()) {
        for (StepperRef &branched : sub->branch(token)) {
            StepperRef copy = clone();
            copy->set_sub_stepper(std::move(branched));
            result.push_back(std::move(copy));
        }
    }
    if (!sub || sub->has_reached_accept_state()) {
        for (StepperRef &started : held_machine()->branch_stepper(StepperRef(this), token))
            result.push_back(std::move(started));
    }
    return result;
}

uint32_t count_utf8_characters(const std::string &text) {
    uint32_t count = 0;
    size_t n = text.size();
    for (size_t i = 0; i < n; ++count) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t advance = 1;
        if (lead >= 0xF0 && i + 3 < n)
            advance = 4;
        else if (lead >= 0xE0 && lead <= 0xEF && i + 2 < n)
            advance = 3;
        else if (lead >= 0x80 && lead <= 0xDF && i + 1 < n)
            advance = 2;
        i += advance;
    }
    return count;
}

} // namespace zel
