// Engine construction, reset and introspection.
#include "engine/engine.hpp"
#include "grammar/position.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zel {

namespace {

// SentencePiece's word-boundary mark, U+2581, stands for a space.
constexpr const char *kWordBoundaryMark = "\xE2\x96\x81";
constexpr size_t kVocabularyBurstThreshold = 1024;
constexpr float kVocabularyMaxLoadFactor = 8.0f;

} // namespace

Engine::Engine(const std::vector<std::pair<std::string, unsigned int>> &vocabulary,
               EncodeFunction encode_function, DecodeFunction decode_function, EngineOptions options)
    : vocabulary_(kVocabularyBurstThreshold), decode_function_(std::move(decode_function)),
      encode_function_(std::move(encode_function)), strict_(options.strict),
      multi_token_sampling_(options.multi_token_sampling), max_resamples_(options.max_resamples),
      control_tokens_(std::move(options.control_tokens)) {
    vocabulary_.max_load_factor(kVocabularyMaxLoadFactor);
    reverse_vocabulary_.reserve(vocabulary.size());
    std::vector<TokenId> single_id(1);
    for (const auto &[key, id] : vocabulary)
        checked_token_id(id);
    for (const auto &[key, id] : vocabulary) {
        std::string text;
        if (key == kWordBoundaryMark) {
            text = " ";
        } else {
            single_id[0] = static_cast<TokenId>(id);
            text = call_decode(decode_function_, single_id);
        }
        vocabulary_.add_id(text, id);
        reverse_vocabulary_[static_cast<TokenId>(id)] = std::move(text);
    }
}

void Engine::set_vocabulary(const TrieMap &vocabulary) {
    for (auto entry = vocabulary.cbegin(); entry != vocabulary.cend(); ++entry)
        for (unsigned int id : entry.value())
            checked_token_id(id);
    vocabulary_ = vocabulary;
    vocabulary_index_.invalidate();
}

// Operations that may run Python code walk a copy of the Stepper list, so
// that Python replacing the Engine's Steppers midway cannot disturb them.

bool Engine::has_reached_accept_state() {
    if (!state_machine_)
        return false;
    std::vector<StepperRef> steppers = steppers_;
    for (StepperRef &stepper : steppers)
        if (stepper->has_reached_accept_state())
            return true;
    return false;
}

void Engine::reset(bool hard_reset) {
    if (hard_reset) {
        StateMachineRef machine = std::move(state_machine_);
        install_steppers({});
        return;
    }
    // Held for the whole call: Python run by get_steppers may replace the
    // Engine's grammar.
    if (StateMachineRef machine = state_machine_)
        install_steppers(machine->get_steppers(std::nullopt));
}

void Engine::install_steppers(std::vector<StepperRef> steppers) {
    std::vector<StepperRef> dropped = std::exchange(steppers_, std::move(steppers));
    ++steppers_generation_;
}

void Engine::install_advanced_steppers(std::vector<StepperRef> steppers) {
    keep_one_per_position(steppers);
    install_steppers(std::move(steppers));
}

const std::vector<TokenId> *Engine::learned_sequence(TokenId token_id) const {
    if (!multi_token_sampling_)
        return nullptr;
    bool learned_here = learned_at_ == steppers_generation_ && learned_here_.count(token_id);
    if (!caller_mapping_applies_ && !learned_here)
        return nullptr;
    auto sequence = multi_token_mapping_.find(token_id);
    if (sequence == multi_token_mapping_.end())
        return nullptr;
    return &sequence->second;
}

void Engine::forget_learned_sequences() {
    learned_here_.clear();
    caller_mapping_applies_ = false;
}

std::optional<std::string> Engine::get_current_state() {
    if (!state_machine_)
        return std::nullopt;
    std::optional<std::string> candidate;
    std::vector<StepperRef> steppers = steppers_;
    for (StepperRef &stepper : steppers) {
        std::optional<std::string> identifier = stepper->get_identifier();
        if (!identifier)
            continue;
        if (!candidate)
            candidate = std::move(identifier);
        else if (*identifier != *candidate)
            return std::nullopt;
    }
    return candidate;
}

std::optional<std::pair<std::string, std::string>>
Engine::get_live_token_safe_output(const DecodeFunction &decode_function) {
    if (steppers_.empty())
        return std::nullopt;
    std::optional<std::string> state = get_current_state();
    if (!state)
        return std::nullopt;
    std::vector<StepperRef> steppers = steppers_;
    for (StepperRef &stepper : steppers) {
        std::optional<std::string> identifier = stepper->get_identifier();
        if (!identifier || *identifier != *state)
            continue;
        for (StepperRef &final_stepper : stepper->get_final_state()) {
            std::string output = final_stepper->get_token_safe_output(decode_function);
            if (!output.empty())
                return std::make_pair(std::move(output), *state);
        }
    }
    return std::nullopt;
}

std::string Engine::to_string() {
    std::vector<StepperRef> steppers = steppers_;
    std::string text = "\n";
    for (size_t i = 0; i < steppers.size(); ++i) {
        if (i)
            text += ", ";
        text += steppers[i]->repr();
    }
    return text + "\n";
}

void Engine::release_references() {
    StateMachineRef machine = std::move(state_machine_);
    std::vector<StepperRef> steppers = std::exchange(steppers_, {});
    ++steppers_generation_;
    decode_function_ = nullptr;
    encode_function_ = nullptr;
}

} // namespace zel
