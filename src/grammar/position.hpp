// Whether two Steppers stand at the same position of a grammar: the same
// machine, state, target, count and text at every level, down to the leaf
// (finished transitions compared by their text).
// Such Steppers accept exactly the same continuations, so a set of live
// Steppers needs only one of them.
#pragma once

#include <vector>

#include "grammar/stepper.hpp"

namespace zel {

bool same_position(const StepperRef &a, const StepperRef &b);

// Drops every Stepper that stands where an earlier one of the list stands.
void keep_one_per_position(std::vector<StepperRef> &steppers);

} // namespace zel
