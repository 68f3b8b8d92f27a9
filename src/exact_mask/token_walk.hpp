// Deciding every token of the vocabulary against the live Steppers in one
// depth-first walk of the token tree: a token is allowed exactly when
// advancing the Steppers over its own text leaves at least one Stepper.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/token_set.hpp"
#include "exact_mask/token_tree.hpp"
#include "grammar/stepper.hpp"

namespace zel {

// Called now and then during long walks; it may throw to abandon the walk
// (the binding layer raises KeyboardInterrupt there).
using InterruptCheck = std::function<void()>;

// The Steppers that consume all of `text`, equal ones once.
std::vector<StepperRef> advance_whole(const std::vector<StepperRef> &steppers, const std::string &text);

// Sets the bit of every id (below allowed.size()) whose key the Steppers
// consume whole. The Steppers after each prefix are kept on a stack, one
// entry per tree level, and equal Steppers at one prefix are kept once.
void allow_consumable_tokens(const TokenTree &tree, const std::vector<StepperRef> &steppers,
                             TokenBits &allowed, const InterruptCheck &interrupt_check);

} // namespace zel
