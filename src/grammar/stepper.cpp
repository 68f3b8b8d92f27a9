// The Stepper model: construction, copying, accessors, history and token-id
// bookkeeping, equality and ordering.
#include "support/stack_guard.hpp"
#include "grammar/stepper.hpp"
#include "support/nested_release.hpp"
#include "support/replace.hpp"

#include <stdexcept>

#include "grammar/state_machine.hpp"

namespace zel {

Stepper::Stepper(StateMachineRef state_machine, std::optional<StateId> current_state)
    : state_machine_(std::move(state_machine)) {
    if (!state_machine_)
        throw std::invalid_argument("a Stepper needs a state machine");
    current_state_ = current_state ? std::move(*current_state) : state_machine_->start_state;
}

StateMachine &Stepper::machine() {
    if (!state_machine_)
        throw std::runtime_error("this stepper has no state machine");
    return *state_machine_;
}

StateMachineRef Stepper::held_machine() {
    machine();
    return state_machine_;
}

StepperRef Stepper::make_clone_target() {
    return StepperRef(new Stepper(state_machine_, current_state_));
}

StepperRef Stepper::clone() {
    StepperRef copy = make_clone_target();
    copy->set_consumed_character_count(get_consumed_character_count());
    copy->set_current_state(get_current_state());
    copy->history_ = history_;
    copy->set_raw_value_field(raw_value_);
    copy->set_remaining_input(get_remaining_input());
    copy->set_sub_stepper(sub_stepper_);
    copy->set_target_state(target_state_);
    copy->token_ids_history_ = token_ids_history_;
    return copy;
}

bool Stepper::is_optional() { return machine().is_optional; }

void Stepper::set_raw_value_field(std::optional<std::string> value) { raw_value_ = std::move(value); }
std::optional<std::string> Stepper::get_raw_value_field() { return raw_value_; }
std::optional<std::string> Stepper::get_remaining_input() { return remaining_input_; }
void Stepper::set_remaining_input(std::optional<std::string> value) { remaining_input_ = std::move(value); }
std::vector<TokenId> Stepper::get_token_ids_history() {
    std::vector<TokenId> ids;
    for (const std::vector<TokenId> &run : token_ids_history_.to_vector())
        ids.insert(ids.end(), run.begin(), run.end());
    return ids;
}
std::vector<StepperRef> Stepper::get_history() { return history_.to_vector(); }
void Stepper::set_history(std::vector<StepperRef> history) {
    history_ = PersistentList<StepperRef>(history);
}
StateId Stepper::get_current_state() { return current_state_; }
void Stepper::set_current_state(StateId state) { current_state_ = std::move(state); }
std::optional<StateId> Stepper::get_target_state() { return target_state_; }
void Stepper::set_target_state(std::optional<StateId> state) { target_state_ = std::move(state); }
uint32_t Stepper::get_consumed_character_count() { return consumed_character_count_; }
void Stepper::set_consumed_character_count(uint32_t count) { consumed_character_count_ = count; }
void Stepper::set_token_ids_history(std::vector<TokenId> ids) {
    token_ids_history_.clear();
    if (!ids.empty())
        token_ids_history_.push_back(std::move(ids));
}
StateMachineRef Stepper::get_state_machine() { return state_machine_; }
void Stepper::set_state_machine(StateMachineRef machine) { replace(state_machine_, std::move(machine)); }
StepperRef Stepper::get_sub_stepper() { return sub_stepper_; }
void Stepper::set_sub_stepper(StepperRef sub_stepper) { replace(sub_stepper_, std::move(sub_stepper)); }

void Stepper::add_to_history(StepperRef stepper) {
    set_consumed_character_count(get_consumed_character_count() +
                                 stepper->get_consumed_character_count());
    history_.push_back(std::move(stepper));
}

void Stepper::append_token_ids(const std::vector<TokenId> &ids) {
    ensure_stack_room();
    if (!ids.empty())
        token_ids_history_.push_back(ids);
    // The sub-Stepper and history entries are shared with the Steppers this
    // one was cloned from; recording ids in place would change those too
    // (and record an id twice where two successors share one). Each is
    // replaced by a copy of its own first.
    bool into_history = !history_.empty() &&
                        (!sub_stepper_ || sub_stepper_->get_consumed_character_count() == 0);
    if (sub_stepper_) {
        StepperRef own = sub_stepper_->clone();
        own->append_token_ids(ids);
        replace(sub_stepper_, std::move(own));
    }
    // Ids also belong to the last finished transition while the current one
    // has not consumed anything yet.
    if (into_history) {
        StepperRef last = history_.back();
        StepperRef own = last->clone();
        own->append_token_ids(ids);
        history_.replace_back(std::move(own));
    }
}

bool Stepper::equals(StepperRef other) {
    ensure_stack_room();
    // Every term is evaluated, so overrides reached here run in any case.
    StepperRef mine = sub_stepper_, theirs = other->get_sub_stepper();
    bool same_sub = (mine && theirs) ? mine->equals(theirs) : (!mine && !theirs);
    bool same_accept = has_reached_accept_state() == other->has_reached_accept_state();
    bool same_machine = held_machine()->equals(other->get_state_machine());
    bool same_target = target_state_ == other->get_target_state();
    bool same_count = get_consumed_character_count() == other->get_consumed_character_count();
    return same_sub && same_accept && same_machine && same_target && same_count;
}

bool Stepper::less_than(StepperRef other) {
    ensure_stack_room();
    StepperRef theirs_sub = other->get_sub_stepper();
    if (sub_stepper_ && theirs_sub)
        return sub_stepper_->less_than(theirs_sub);
    bool mine_accepted = has_reached_accept_state();
    bool theirs_accepted = other->has_reached_accept_state();
    if (mine_accepted != theirs_accepted)
        return !mine_accepted;
    std::optional<StateId> theirs_target = other->get_target_state();
    if (target_state_ != theirs_target)
        return target_state_ < theirs_target; // absent orders first
    uint32_t mine_count = get_consumed_character_count();
    uint32_t theirs_count = other->get_consumed_character_count();
    if (mine_count != theirs_count)
        return mine_count < theirs_count;
    return !sub_stepper_ && theirs_sub;
}

Stepper::~Stepper() {
    NestedRelease release;
    release.release(sub_stepper_);
    history_.clear_with([&](StepperRef &archived) { release.release(archived); });
    release.release(state_machine_);
}

void Stepper::release_references() {
    // Moved out first: dropping a reference may run arbitrary code that looks
    // at this Stepper again.
    PersistentList<StepperRef> history = std::move(history_);
    StepperRef sub = std::move(sub_stepper_);
    StateMachineRef machine = std::move(state_machine_);
    history_.clear();
    sub_stepper_ = StepperRef();
    state_machine_ = StateMachineRef();
}

} // namespace zel
