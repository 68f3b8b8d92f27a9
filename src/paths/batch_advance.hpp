// Advancing many Steppers by one token into de-duplicated outcomes, healing
// Steppers that matched only the start of the token.
#pragma once

#include <string>
#include <vector>

#include "paths/stepper_delta.hpp"

namespace zel {

// Every Stepper's consume, in order. A new Stepper that consumed the whole
// token becomes an unhealed delta; one with text left over is, when healing
// is on and the vocabulary holds keys, credited the longest vocabulary key
// that is a prefix of what it matched, or dropped. With exact healing, only
// a Stepper whose whole matched text is a vocabulary key is healed, so the
// credited key spells exactly what it consumed. The vocabulary is read in
// place.
DeltaSet advance_all(const std::vector<StepperRef> &steppers, const std::string &token,
                     const TrieMap *vocabulary, bool token_healing, bool exact_healing = false);

// The Steppers of advance_all without a vocabulary, in delta order.
std::vector<StepperRef> advance_all_basic(const std::vector<StepperRef> &steppers,
                                          const std::string &token);

} // namespace zel
