// The Engine's exact masks: Steppers inside a native leaf take the leaf's
// precomputed split and check only the tokens that run past the leaf's end;
// every other Stepper is walked over the whole token tree. Control tokens
// follow the rule of the grammar's end.
#include <algorithm>

#include "engine/engine.hpp"
#include "exact_mask/exact_mask_cache.hpp"
#include "exact_mask/native_chain.hpp"
#include "exact_mask/token_walk.hpp"

namespace zel {

namespace {

void add_ids(TokenBits &allowed, const std::vector<unsigned int> &ids) {
    for (unsigned int id : ids)
        if (id < allowed.size())
            allowed.set(id);
}

// allowed |= more, over the ids both cover.
void add_bits(TokenBits &allowed, const TokenBits &more) {
    std::vector<uint64_t> &words = allowed.words();
    const std::vector<uint64_t> &extra = more.words();
    const size_t shared = std::min(words.size(), extra.size());
    for (size_t word = 0; word < shared; ++word)
        words[word] |= extra[word];
    if ((allowed.size() & 63) && shared == words.size())
        words.back() &= (uint64_t(1) << (allowed.size() & 63)) - 1;
}

void allow_tokens(ExactMaskCache &cache, const TokenTree &tree, const std::vector<StepperRef> &steppers,
                  TokenBits &allowed, const std::function<void()> &interrupt_check);

// The keys of `tree` a Stepper inside a native leaf may take: those the leaf
// takes on its own, and of those that end the leaf, the ones whose rest the
// Steppers after the leaf take (decided the same way, over the rests' tree).
void allow_through_leaf(ExactMaskCache &cache, const TokenTree &tree, const StepperRef &stepper,
                        LexicalLeafStepper &leaf, TokenBits &allowed, const std::function<void()> &interrupt_check) {
    auto *machine = static_cast<LexicalLeaf *>(leaf.get_state_machine().get());
    std::shared_ptr<const LeafTokenSplit> split =
        cache.split(tree, leaf.dfa(), leaf.dfa_state(), machine->whole_tokens());
    add_bits(allowed, split->inside_bits);
    add_ids(allowed, split->inside_ids);
    const std::vector<StepperRef> start{stepper};
    for (const LeafExit &exit : split->exits) {
        std::vector<StepperRef> after = advance_whole(start, exit.text_to_state);
        if (after.empty())
            continue;
        add_ids(allowed, exit.ending_ids);
        if (exit.rests)
            allow_tokens(cache, *exit.rests, after, allowed, interrupt_check);
    }
}

// The keys of `tree` that some Stepper consumes whole: through leaf splits
// where a Stepper stands inside a native leaf, by walking the tree for the
// others.
void allow_tokens(ExactMaskCache &cache, const TokenTree &tree, const std::vector<StepperRef> &steppers,
                  TokenBits &allowed, const std::function<void()> &interrupt_check) {
    std::vector<StepperRef> walked;
    for (const StepperRef &stepper : steppers) {
        LexicalLeafStepper *leaf = native_leaf_of(const_cast<Stepper &>(*stepper));
        if (leaf && leaf->dfa_state() != Dfa::kDead)
            allow_through_leaf(cache, tree, stepper, *leaf, allowed, interrupt_check);
        else
            walked.push_back(stepper);
    }
    allow_consumable_tokens(tree, walked, allowed, interrupt_check);
}

} // namespace

ExactMaskCache &Engine::exact_mask_cache() {
    vocabulary_index_.refresh(vocabulary_);
    if (!exact_mask_cache_ || !exact_mask_cache_->follows(vocabulary_index_))
        exact_mask_cache_ = std::make_shared<ExactMaskCache>(vocabulary_index_);
    return *exact_mask_cache_;
}

uint64_t Engine::exact_mask_id_bound() {
    uint64_t bound = exact_mask_cache().tree()->id_bound();
    for (TokenId id : control_tokens_)
        bound = std::max<uint64_t>(bound, uint64_t(id) + 1);
    return bound;
}

TokenBits Engine::compute_exact_token_mask(uint32_t size, const std::function<void()> &interrupt_check) {
    // Copies: Python code run by the walk may replace the Engine's Steppers
    // or its vocabulary.
    std::vector<StepperRef> steppers = steppers_;
    // The mask allows tokens for their own text: no learned sequence
    // stands in for them after it.
    forget_learned_sequences();
    if (steppers.empty() && !state_machine_)
        return TokenBits(size, true);
    exact_mask_cache();
    std::shared_ptr<ExactMaskCache> cache = exact_mask_cache_;
    TokenBits allowed(size, false);
    allow_tokens(*cache, *cache->tree(), steppers, allowed, interrupt_check);
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
