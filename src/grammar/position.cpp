// Position equality walks the levels of both Steppers side by side. Copies
// made from one Stepper share their sub-Steppers and most of their history,
// so the walk stops early wherever both sides hold the very same object.
#include "grammar/position.hpp"

#include "grammar/state_machine.hpp"
#include "support/stack_guard.hpp"

namespace zel {

namespace {

// Finished transitions count by the text they matched, not by the machine
// that matched it: two alternatives that read the same text leave the
// Stepper at one position.
bool same_history_text(const PersistentList<StepperRef> &a, const PersistentList<StepperRef> &b) {
    if (a.size() != b.size())
        return false;
    auto left = a.last_cell(), right = b.last_cell();
    // Equal sizes: both reach their shared past, if any, at the same step.
    for (; left != right; left = left->earlier, right = right->earlier)
        if (StepperRef(left->value)->get_raw_value() != StepperRef(right->value)->get_raw_value())
            return false;
    return true;
}

bool same_level(Stepper &a, Stepper &b) {
    if (a.get_state_machine().get() != b.get_state_machine().get())
        return false;
    return a.get_current_state() == b.get_current_state() &&
           a.get_target_state() == b.get_target_state() &&
           a.get_consumed_character_count() == b.get_consumed_character_count() &&
           a.get_raw_value_field() == b.get_raw_value_field() &&
           a.get_remaining_input() == b.get_remaining_input() &&
           same_history_text(a.history_list(), b.history_list());
}

} // namespace

bool same_position(const StepperRef &a, const StepperRef &b) {
    ensure_stack_room();
    // References, not pointers: a Python leaf asked for its text may change
    // the Steppers under the walk.
    for (StepperRef left = a, right = b; left.get() != right.get();) {
        if (!left || !right || !same_level(*left, *right))
            return false;
        left = left->get_sub_stepper();
        right = right->get_sub_stepper();
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
