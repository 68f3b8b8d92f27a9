// Position equality walks the levels of both Steppers side by side. Copies
// made from one Stepper share their sub-Steppers and most of their history,
// so the walk stops early wherever both sides hold the very same object.
#include "grammar/position.hpp"

#include "grammar/state_machine.hpp"
#include "support/stack_guard.hpp"

namespace zel {

namespace {

// The Steppers compared are only read; references hand out const pointers.
Stepper *held(const StepperRef &reference) { return const_cast<Stepper *>(reference.get()); }

bool same_history(const PersistentList<StepperRef> &a, const PersistentList<StepperRef> &b) {
    if (a.size() != b.size())
        return false;
    const auto *left = a.last_cell().get();
    const auto *right = b.last_cell().get();
    // Equal sizes: both reach their shared past, if any, at the same step.
    for (; left != right; left = left->earlier.get(), right = right->earlier.get())
        if (!same_position(left->value, right->value))
            return false;
    return true;
}

bool same_level(Stepper &a, Stepper &b) {
    StateMachineRef machine_a = a.get_state_machine(), machine_b = b.get_state_machine();
    if (machine_a.get() != machine_b.get())
        return false;
    return a.get_current_state() == b.get_current_state() &&
           a.get_target_state() == b.get_target_state() &&
           a.get_consumed_character_count() == b.get_consumed_character_count() &&
           a.get_raw_value_field() == b.get_raw_value_field() &&
           a.get_remaining_input() == b.get_remaining_input() &&
           same_history(a.history_list(), b.history_list());
}

} // namespace

bool same_position(const StepperRef &a, const StepperRef &b) {
    ensure_stack_room();
    // No Python runs here: only fields are read, so the chain cannot change
    // under the walk and plain pointers into it stay valid.
    for (Stepper *left = held(a), *right = held(b); left != right;) {
        if (!left || !right || !same_level(*left, *right))
            return false;
        left = held(left->get_sub_stepper());
        right = held(right->get_sub_stepper());
    }
    return true;
}

void keep_one_per_position(std::vector<StepperRef> &steppers) {
    std::vector<StepperRef> kept;
    kept.reserve(steppers.size());
    for (StepperRef &stepper : steppers) {
        bool seen = false;
        for (const StepperRef &earlier : kept)
            if (same_position(earlier, stepper)) {
                seen = true;
                break;
            }
        if (!seen)
            kept.push_back(std::move(stepper));
    }
    steppers = std::move(kept);
}

} // namespace zel
