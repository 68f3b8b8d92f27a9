// The Engine: the object a decoding loop talks to. It holds a grammar, the
// live Steppers walking it, the model's vocabulary in both directions and
// its tokenizer callables, and turns the grammar into token masks and
// checked next-token choices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/score_array.hpp"
#include "engine/token_set.hpp"
#include "engine/vocabulary_index.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"
#include "paths/stepper_delta.hpp"
#include "support/replace.hpp"
#include "support/trie_map.hpp"

namespace zel {

// One spelling of a text as vocabulary keys, and the set of spellings,
// ordered piece by piece with byte-wise comparison.
using Tokenization = std::vector<std::string>;
using TokenizationSet = std::set<Tokenization>;

class ExactMaskCache;

using ReverseVocabulary = std::unordered_map<TokenId, std::string>;

// Draws one token id from the caller's model; the Engine checks its range.
using DrawFunction = std::function<int64_t()>;

struct EngineOptions {
    bool strict = false;
    bool multi_token_sampling = true;
    int32_t max_resamples = 5;
    std::vector<TokenId> control_tokens;
};

class Engine {
public:
    // The vocabulary is read in the given order; each entry's text is what
    // decode_function makes of its id alone (U+2581 stands for a space).
    Engine(const std::vector<std::pair<std::string, unsigned int>> &vocabulary,
           EncodeFunction encode_function, DecodeFunction decode_function, EngineOptions options);
    Engine(const Engine &) = default;
    Engine(Engine &&) = default;
    virtual ~Engine() = default;

    // Configuration.
    bool strict() const { return strict_; }
    bool has_reached_accept_state();
    const StateMachineRef &state_machine() const { return state_machine_; }
    void set_state_machine(StateMachineRef machine) { replace(state_machine_, std::move(machine)); }
    const std::vector<StepperRef> &steppers() const { return steppers_; }
    void set_steppers(std::vector<StepperRef> steppers) { install_steppers(std::move(steppers)); }
    TrieMap &vocabulary() { return vocabulary_; }
    // Refuses a map that holds ids beyond the signed range (checked_token_id).
    void set_vocabulary(const TrieMap &vocabulary);
    const ReverseVocabulary &reverse_vocabulary() const { return reverse_vocabulary_; }
    void set_reverse_vocabulary(ReverseVocabulary map) { reverse_vocabulary_ = std::move(map); }
    const MultiTokenMapping &multi_token_mapping() const { return multi_token_mapping_; }
    // A mapping the caller assigns applies to every advance until the next
    // mask; what a mask learns applies only where it was learned.
    void set_multi_token_mapping(MultiTokenMapping map) {
        multi_token_mapping_ = std::move(map);
        caller_mapping_applies_ = true;
    }
    // The sequence that advancing over `token_id` stands for here, if any.
    const std::vector<TokenId> *learned_sequence(TokenId token_id) const;
    // For masks that learn no sequences: from now on none applies.
    void forget_learned_sequences();
    EncodeFunction &encode_function() { return encode_function_; }
    DecodeFunction &decode_function() { return decode_function_; }

    // Consumption (each replaces the Steppers only once it has succeeded).
    // Exact healing credits a partly matching Stepper only with its whole
    // matched text, and only when that text is a vocabulary key.
    DeltaSet advance_token(TokenId token_id, bool token_healing, bool exact_healing = false);
    std::optional<TokenId> consume(TokenId token_id, bool token_healing);
    void consume_text(const std::string &input, bool token_healing);

    // Masks and selection.
    TokenBits compute_token_mask(uint32_t vocab_size);
    void mask_invalid_tokens(ScoreArray &scores);
    std::vector<TokenId> select_next_tokens(ScoreArray &log_probs, const DrawFunction &draw);

    // Exact masks (exact_mask/): a token is allowed exactly when the live
    // Steppers consume its own text whole; control tokens exactly when a
    // Stepper has reached an accept state or the grammar has no Steppers
    // left. interrupt_check is called now and then and may throw.
    TokenBits compute_exact_token_mask(uint32_t size, const std::function<void()> &interrupt_check);
    // One more than the largest id an exact mask can allow.
    uint64_t exact_mask_id_bound();

    // Tokenization, reset and introspection.
    TokenizationSet break_into_tokens(const std::string &text) const;
    void reset(bool hard_reset);
    std::optional<std::string> get_current_state();
    std::optional<std::pair<std::string, std::string>>
    get_live_token_safe_output(const DecodeFunction &decode_function);
    virtual std::string to_string();

    // Drops the grammar, the Steppers and both callables (garbage
    // collection).
    void release_references();

private:
    TokenizationSet collect_valid_tokenizations();
    TokenIdSet allowed_token_ids(const TokenizationSet &tokenizations, uint32_t vocab_size);
    void record_multi_token_sequence(const Tokenization &tokenization);
    TokenIdSet invalid_token_ids(uint32_t vocab_size, bool may_end);
    const std::vector<unsigned int> &ids_of(const std::string &piece) const;
    std::vector<TokenId> ids_to_emit(const StepperDelta &winner) const;
    ExactMaskCache &exact_mask_cache();
    // Replaces the live Steppers. The old list leaves the Engine before it
    // is dropped: dropping it can run Python that looks at the Engine.
    void install_steppers(std::vector<StepperRef> steppers);
    // The same after an advance, keeping one Stepper per position.
    void install_advanced_steppers(std::vector<StepperRef> steppers);

    StateMachineRef state_machine_;
    std::vector<StepperRef> steppers_;
    TrieMap vocabulary_;
    ReverseVocabulary reverse_vocabulary_;
    DecodeFunction decode_function_;
    EncodeFunction encode_function_;
    MultiTokenMapping multi_token_mapping_;
    bool strict_;
    bool multi_token_sampling_;
    int32_t max_resamples_;
    std::vector<TokenId> control_tokens_;
    // Counts replacements of steppers_, so that a mask can tell whether the
    // Steppers it was computed for are still the live ones.
    uint64_t steppers_generation_ = 0;
    // The first ids under which the latest mask recorded a sequence, and the
    // Steppers generation it was computed for.
    std::unordered_set<TokenId> learned_here_;
    uint64_t learned_at_ = 0;
    bool caller_mapping_applies_ = false;
    // Derived from vocabulary_ for prefix ranges and the longest key;
    // rebuilt when stale, also by const operations.
    mutable VocabularyIndex vocabulary_index_;
    // Built from vocabulary_index_ by the first exact mask after a rebuild.
    std::shared_ptr<ExactMaskCache> exact_mask_cache_;
};

} // namespace zel
