// The outcome of advancing one Stepper by one token, the order that makes
// collections of outcomes sorted sets, and the choice of the best outcome.
#pragma once

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "grammar/stepper.hpp"
#include "support/trie_map.hpp"

namespace zel {

using MultiTokenMapping = std::unordered_map<TokenId, std::vector<TokenId>>;

// A token that is not a key of the vocabulary it was looked up in. The
// message is the trie's own ("Couldn't find key."); the key is kept for
// callers that explain it.
class MissingVocabularyKey : public std::out_of_range {
public:
    explicit MissingVocabularyKey(std::string key)
        : std::out_of_range("Couldn't find key."), key_(std::move(key)) {}
    const std::string &key() const { return key_; }

private:
    std::string key_;
};

// A token id from an unsigned one (an argument, a TrieMap entry); ids of
// 2**31 and more do not fit the signed ids that are recorded and emitted and
// are refused (std::invalid_argument).
TokenId checked_token_id(uint64_t id);

struct StepperDelta {
    StepperRef stepper;
    std::string token;
    bool was_healed = false;
    // Attached by the Engine during selection; absent otherwise.
    std::optional<float> score;
    std::optional<TokenId> token_id;

    StepperDelta(StepperRef stepper, std::string token, bool was_healed)
        : stepper(std::move(stepper)), token(std::move(token)), was_healed(was_healed) {}

    // Structurally equal Steppers order by token, then by the Stepper order;
    // others put unhealed first, then lower scores, then by identity.
    bool operator<(const StepperDelta &other) const;

    // Unhealed outcomes are always worth following; healed ones only once
    // their Stepper is accepted.
    bool is_attractive_path() const;

    std::string to_string() const;
};

// A collection of deltas kept sorted under StepperDelta's order, without
// equivalent duplicates. Insertion is defined for any comparator: a delta
// goes before the first element that it orders before, and is dropped when
// the element just before that place is not less than it.
class DeltaSet {
public:
    // True when the delta was added.
    bool insert(StepperDelta delta);

    const std::vector<StepperDelta> &items() const { return items_; }
    std::vector<StepperDelta> release() { return std::move(items_); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

private:
    std::vector<StepperDelta> items_;
};

// The token ids to emit and the Steppers that follow the winning token.
using BestPath = std::pair<std::vector<TokenId>, std::vector<StepperRef>>;

// Picks the winning token among the deltas: accepted first, then unhealed,
// then the higher score, then the longer token; the earlier delta wins ties.
BestPath choose_best_path(const DeltaSet &deltas, const TrieMap &vocabulary,
                          const MultiTokenMapping *multi_token_mapping);

// The parts of that choice: the winning delta (null when there is none),
// the Steppers of every delta with a given token, in set order, and one id
// of a vocabulary key, drawn at random when the key has several.
const StepperDelta *best_delta(const DeltaSet &deltas);
std::vector<StepperRef> steppers_with_token(const DeltaSet &deltas, const std::string &token);
TokenId pick_vocabulary_id(const TrieMap &vocabulary, const std::string &token);

// The process-wide generator shared by path choice and the Engine, seeded
// once from the random device on first use.
std::mt19937 &shared_random_generator();

} // namespace zel
