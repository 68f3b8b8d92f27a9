// Token masks: which ids the grammar allows next, written into score arrays.
#include "engine/engine.hpp"

#include <stdexcept>

namespace zel {

const std::vector<unsigned int> &Engine::ids_of(const std::string &piece) const {
    return vocabulary_.at(piece);
}

TokenizationSet Engine::collect_valid_tokenizations() {
    std::vector<StepperRef> steppers = steppers_;
    for (StepperRef &stepper : steppers)
        if (stepper->accepts_any_token())
            return {};
    TokenizationSet tokenizations;
    for (StepperRef &stepper : steppers)
        for (const std::string &continuation : stepper->get_valid_continuations())
            tokenizations.merge(break_into_tokens(continuation));
    return tokenizations;
}

TokenIdSet Engine::allowed_token_ids(const TokenizationSet &tokenizations, uint32_t vocab_size) {
    TokenIdSet allowed(vocab_size);
    vocabulary_index_.refresh(vocabulary_);
    for (const Tokenization &tokenization : tokenizations) {
        const std::string &first = tokenization.front();
        allowed.insert_all(ids_of(first));
        if (tokenization.size() < 2 || !multi_token_sampling_) {
            // Tokens that start with the piece and run on past it stay open.
            vocabulary_index_.for_each_id_with_prefix(first, [&](unsigned int id) { allowed.insert(id); });
        } else {
            record_multi_token_sequence(tokenization);
        }
    }
    return allowed;
}

void Engine::record_multi_token_sequence(const Tokenization &tokenization) {
    std::vector<TokenId> sequence;
    sequence.reserve(tokenization.size());
    for (const std::string &piece : tokenization)
        sequence.push_back(pick_vocabulary_id(vocabulary_, piece));
    TokenId first = sequence.front();
    learned_here_.insert(first);
    auto stored = multi_token_mapping_.find(first);
    if (stored == multi_token_mapping_.end()) {
        multi_token_mapping_.emplace(first, std::move(sequence));
        return;
    }
    std::vector<TokenId> &existing = stored->second;
    size_t common = 0;
    while (common < existing.size() && common < sequence.size() && existing[common] == sequence[common])
        ++common;
    if (common < existing.size())
        existing.resize(common);
}

TokenIdSet Engine::invalid_token_ids(uint32_t vocab_size, bool may_end) {
    TokenIdSet invalid(vocab_size);
    if (steppers_.empty())
        return invalid;
    std::vector<StepperRef> steppers = steppers_;
    for (StepperRef &stepper : steppers)
        for (const std::string &continuation : stepper->get_invalid_continuations())
            for (const Tokenization &tokenization : break_into_tokens(continuation))
                for (const std::string &piece : tokenization)
                    invalid.insert_all(ids_of(piece));
    if (!control_tokens_.empty() && !may_end)
        invalid.insert_all(control_tokens_);
    return invalid;
}

TokenBits Engine::compute_token_mask(uint32_t vocab_size) {
    if (vocab_size > uint32_t(INT32_MAX))
        throw std::length_error("vocab_size must be below 2**31");
    TokenizationSet valid = collect_valid_tokenizations();
    learned_here_.clear();
    caller_mapping_applies_ = false;
    learned_at_ = steppers_generation_;
    TokenIdSet allowed = allowed_token_ids(valid, vocab_size);
    // Control tokens are blocked until the grammar may end; from then on
    // ending is one of the allowed choices.
    const bool may_end = !control_tokens_.empty() && has_reached_accept_state();
    TokenIdSet invalid = invalid_token_ids(vocab_size, may_end);
    if (may_end && !allowed.empty())
        allowed.insert_all(control_tokens_);
    TokenBits mask(vocab_size, true);
    std::vector<uint64_t> &words = mask.words();
    const std::vector<uint64_t> &blocked = invalid.bits().words();
    const std::vector<uint64_t> &open = allowed.bits().words();
    const bool restrict_to_allowed = !allowed.empty();
    for (size_t word = 0; word < words.size(); ++word) {
        words[word] &= ~blocked[word];
        if (restrict_to_allowed)
            words[word] &= open[word];
    }
    return mask;
}

void Engine::mask_invalid_tokens(ScoreArray &scores) {
    if (scores.ndim() != 2)
        throw std::runtime_error("scores must be a two-dimensional array [batch_size x vocab_size], got " +
                                 std::to_string(scores.ndim()) + " dimension(s)");
    const int64_t rows = scores.shape[0];
    const int64_t columns = scores.shape[1];
    if (columns > int64_t(UINT32_MAX))
        throw std::length_error("scores has more columns than a vocabulary can have");
    TokenBits mask = compute_token_mask(static_cast<uint32_t>(columns));
    scores.renew_after_host_code();
    std::vector<uint32_t> blocked;
    blocked.reserve(mask.size());
    mask.for_each_clear([&](uint32_t id) { blocked.push_back(id); });
    if (blocked.empty() || rows == 0)
        return;
    if (!scores.is_supported())
        throw std::runtime_error("Unsupported tensor dtype for masking");
    for (int64_t row = 0; row < rows; ++row)
        scores.block_columns(row, blocked);
}

} // namespace zel
