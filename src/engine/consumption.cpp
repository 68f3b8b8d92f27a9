// Consuming the model's tokens and raw text.
#include "engine/engine.hpp"
#include "paths/batch_advance.hpp"

namespace zel {

DeltaSet Engine::advance_token(TokenId token_id, bool token_healing, bool exact_healing) {
    auto entry = reverse_vocabulary_.find(token_id);
    if (entry == reverse_vocabulary_.end())
        return {};
    const std::string *text = &entry->second;
    std::string sequence_text;
    if (const std::vector<TokenId> *sequence = learned_sequence(token_id)) {
        for (TokenId id : *sequence) {
            auto piece = reverse_vocabulary_.find(id);
            if (piece != reverse_vocabulary_.end())
                sequence_text += piece->second;
        }
        text = &sequence_text;
    }
    std::vector<StepperRef> steppers = steppers_;
    // A copy of the text: Python code run while advancing may replace the
    // reverse vocabulary that it points into.
    return advance_all(steppers, std::string(*text), &vocabulary_, token_healing, exact_healing);
}

std::optional<TokenId> Engine::consume(TokenId token_id, bool token_healing) {
    // The ids consumed, read before advancing: Python run meanwhile may
    // change the mapping.
    const std::vector<TokenId> *sequence = learned_sequence(token_id);
    const std::vector<TokenId> consumed = sequence ? *sequence : std::vector<TokenId>{token_id};
    DeltaSet deltas = advance_token(token_id, token_healing);
    std::vector<StepperRef> survivors;
    survivors.reserve(deltas.size());
    for (StepperDelta &delta : deltas.release()) {
        delta.stepper->append_token_ids(consumed);
        survivors.push_back(delta.stepper);
    }
    if (survivors.empty())
        return std::nullopt;
    install_advanced_steppers(std::move(survivors));
    return token_id;
}

void Engine::consume_text(const std::string &input, bool token_healing) {
    std::vector<StepperRef> steppers = steppers_;
    DeltaSet deltas = advance_all(steppers, input, &vocabulary_, token_healing);
    std::vector<StepperRef> survivors;
    survivors.reserve(deltas.size());
    for (StepperDelta &delta : deltas.release())
        survivors.push_back(std::move(delta.stepper));
    for (StepperRef &stepper : survivors)
        stepper->append_token_ids(call_encode(encode_function_, input));
    install_advanced_steppers(std::move(survivors));
}

} // namespace zel
