#include "paths/batch_advance.hpp"

#include <algorithm>
#include <optional>

#include "support/interrupts.hpp"

namespace zel {

namespace {

// The trie's longest-prefix search tests every length of the text it is
// given, which is quadratic in the text. Texts longer than this are first
// cut to the longest key, found once per batch by walking the keys.
constexpr size_t kShortText = 256;

class PrefixSearch {
public:
    explicit PrefixSearch(const TrieMap &vocabulary) : vocabulary_(vocabulary) {}

    TrieMap::const_iterator longest_prefix(const std::string &text) {
        size_t searched = text.size();
        if (searched > kShortText) {
            if (!longest_key_)
                longest_key_ = longest_key_size(vocabulary_);
            searched = std::min(searched, *longest_key_);
        }
        return vocabulary_.longest_prefix_ks(text.data(), searched);
    }

private:
    const TrieMap &vocabulary_;
    std::optional<size_t> longest_key_;
};

// The delta for a Stepper that left part of the token unconsumed, or nothing
// when it cannot be healed.
std::optional<StepperDelta> heal(StepperRef advanced, const std::string &token,
                                 const TrieMap &vocabulary, PrefixSearch &search, bool exact) {
    std::optional<std::string> rest = advanced->get_remaining_input();
    size_t rest_size = rest ? rest->size() : 0;
    // Only Python code can leave more than the token; nothing was matched.
    if (rest_size > token.size())
        return std::nullopt;
    std::string matched = token.substr(0, token.size() - rest_size);
    if (exact) {
        if (matched.empty() || vocabulary.find(matched) == vocabulary.cend())
            return std::nullopt;
        advanced->set_remaining_input(std::nullopt);
        return StepperDelta(std::move(advanced), std::move(matched), true);
    }
    auto key = search.longest_prefix(matched);
    if (key == vocabulary.cend())
        return std::nullopt;
    advanced->set_remaining_input(std::nullopt);
    return StepperDelta(std::move(advanced), key.key(), true);
}

} // namespace

DeltaSet advance_all(const std::vector<StepperRef> &steppers, const std::string &token,
                     const TrieMap *vocabulary, bool token_healing, bool exact_healing) {
    bool can_heal = token_healing && vocabulary && !vocabulary->empty();
    std::optional<PrefixSearch> search;
    if (can_heal)
        search.emplace(*vocabulary);
    DeltaSet outcomes;
    for (const StepperRef &stepper : steppers) {
        check_for_interrupt();
        for (StepperRef &advanced : const_cast<Stepper &>(*stepper).consume(token)) {
            if (!advanced->get_remaining_input()) {
                outcomes.insert(StepperDelta(std::move(advanced), token, false));
            } else if (can_heal) {
                if (std::optional<StepperDelta> healed = heal(std::move(advanced), token, *vocabulary, *search, exact_healing))
                    outcomes.insert(std::move(*healed));
            }
        }
    }
    return outcomes;
}

std::vector<StepperRef> advance_all_basic(const std::vector<StepperRef> &steppers,
                                          const std::string &token) {
    std::vector<StepperRef> advanced;
    for (StepperDelta &delta : advance_all(steppers, token, nullptr, true).release())
        advanced.push_back(std::move(delta.stepper));
    return advanced;
}

} // namespace zel
