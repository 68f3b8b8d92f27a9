// The Engine's exact masks: the token tree kept in step with the
// vocabulary, the walk over it, and the rule for control tokens.
#include <algorithm>

#include "engine/engine.hpp"
#include "exact_mask/token_tree.hpp"
#include "exact_mask/token_walk.hpp"

namespace zel {

const TokenTree &Engine::token_tree() {
    vocabulary_index_.refresh(vocabulary_);
    if (!token_tree_ || token_tree_->index_build() != vocabulary_index_.builds())
        token_tree_ = std::make_shared<const TokenTree>(vocabulary_index_);
    return *token_tree_;
}

uint64_t Engine::exact_mask_id_bound() {
    uint64_t bound = token_tree().id_bound();
    for (TokenId id : control_tokens_)
        bound = std::max<uint64_t>(bound, uint64_t(id) + 1);
    return bound;
}

TokenBits Engine::compute_exact_token_mask(uint32_t size, const std::function<void()> &interrupt_check) {
    // A copy: Python code run by the walk may replace the Engine's list.
    std::vector<StepperRef> steppers = steppers_;
    if (steppers.empty() && !state_machine_)
        return TokenBits(size, true);
    // The tree is held by a reference of our own for the same reason.
    token_tree();
    std::shared_ptr<const TokenTree> tree = token_tree_;
    TokenBits allowed(size, false);
    allow_consumable_tokens(*tree, steppers, allowed, interrupt_check);
    bool may_end = steppers.empty();
    for (StepperRef &stepper : steppers)
        if (!may_end && stepper->has_reached_accept_state())
            may_end = true;
    for (TokenId id : control_tokens_) {
        if (id < 0 || uint32_t(id) >= size)
            continue;
        if (may_end)
            allowed.set(uint32_t(id));
        else
            allowed.reset(uint32_t(id));
    }
    return allowed;
}

} // namespace zel
