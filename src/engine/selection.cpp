// Next-token selection: draw from the caller's model, test each draw by
// advancing the Steppers, and install the best outcome.
#include "engine/engine.hpp"

#include <stdexcept>
#include <string>

namespace zel {

namespace {

constexpr const char *kLogProbsShape = "LogProbs Tensor must be 2D (1 x vocab_size)";

TokenId checked_token(int64_t drawn, int64_t vocab_size) {
    if (drawn < 0 || drawn >= vocab_size)
        throw std::runtime_error("the sampler chose token id " + std::to_string(drawn) +
                                 ", outside 0 .. " + std::to_string(vocab_size - 1) +
                                 " (the width of log_probs)");
    return static_cast<TokenId>(drawn);
}

} // namespace

std::vector<TokenId> Engine::select_next_tokens(ScoreArray &log_probs, const DrawFunction &draw) {
    if (log_probs.ndim() != 2 || log_probs.shape[0] != 1)
        throw std::runtime_error(kLogProbsShape);
    const int64_t vocab_size = log_probs.shape[1];

    DeltaSet candidates;
    bool attractive = false;
    uint32_t counted = 0;
    // Counted draws also end once as many draws as the row has entries were
    // made: by then a sampler that respects the blocked scores has tried
    // every token, and a negative max_resamples (no practical limit) would
    // otherwise keep drawing while only healed candidates turn up.
    int64_t draws = 0;
    // Draws after the counted ones happen only while nothing was found; they
    // end once as many draws as the row has entries have found nothing.
    int64_t fruitless_draws = 0;
    for (;;) {
        if (!attractive && counted < static_cast<uint32_t>(max_resamples_) && draws < vocab_size) {
            ++counted;
        } else if (!candidates.empty()) {
            break;
        }
        ++draws;
        TokenId token = checked_token(draw(), vocab_size);
        log_probs.renew_after_host_code();
        if (steppers_.empty())
            return {token};
        float score = log_probs.read(0, token);
        log_probs.block(0, token);
        // Healing here is exact: a candidate's token must spell all that its
        // Steppers consumed, or the ids emitted would drift from the grammar.
        DeltaSet deltas = advance_token(token, true, true);
        for (StepperDelta &delta : deltas.release()) {
            delta.score = score;
            if (!delta.was_healed)
                delta.token_id = token;
            bool delta_attractive = delta.is_attractive_path();
            candidates.insert(std::move(delta));
            if (delta_attractive)
                attractive = true;
        }
        if (candidates.empty() && ++fruitless_draws >= vocab_size)
            throw std::runtime_error("select_next_tokens: " + std::to_string(fruitless_draws) +
                                     " draws (as many as log_probs has entries) found no token "
                                     "that the grammar accepts");
    }

    // Advancing ran overrides since the last draw.
    log_probs.renew_after_host_code();
    for (const StepperDelta &candidate : candidates.items())
        if (candidate.token_id && candidate.score)
            log_probs.write(0, *candidate.token_id, *candidate.score);

    const StepperDelta *winner = best_delta(candidates);
    if (!winner || winner->token.empty()) {
        install_steppers({});
        return {};
    }
    std::vector<TokenId> ids = ids_to_emit(*winner);
    std::vector<StepperRef> chosen = steppers_with_token(candidates, winner->token);
    for (StepperRef &stepper : chosen)
        stepper->append_token_ids(ids);
    install_advanced_steppers(std::move(chosen));
    return ids;
}

// The ids that spell exactly the winner's token: the learned sequence only
// when the Steppers advanced over it (an unhealed draw of its first id where
// the sequence applies), else the drawn id, else an id of the healed key.
std::vector<TokenId> Engine::ids_to_emit(const StepperDelta &winner) const {
    if (!winner.token_id)
        return {pick_vocabulary_id(vocabulary_, winner.token)};
    if (!winner.was_healed) {
        if (const std::vector<TokenId> *sequence = learned_sequence(*winner.token_id))
            return *sequence;
    }
    return {*winner.token_id};
}

} // namespace zel
