#include "paths/stepper_delta.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

namespace zel {

namespace {

// The algorithms only read deltas, but asking a Stepper anything may run a
// Python override, so the Stepper operations are not const.
Stepper &mutable_stepper(const StepperRef &stepper) { return *const_cast<Stepper *>(stepper.get()); }

bool identity_less(const StepperRef &a, const StepperRef &b) {
    return std::less<const Stepper *>()(a.get(), b.get());
}

} // namespace

bool StepperDelta::operator<(const StepperDelta &other) const {
    Stepper &mine = mutable_stepper(stepper);
    if (mine.equals(other.stepper)) {
        if (token == other.token)
            return mine.less_than(other.stepper);
        return token < other.token;
    }
    if (was_healed != other.was_healed)
        return !was_healed;
    if (score && other.score) {
        if (*score == *other.score)
            return identity_less(stepper, other.stepper);
        return *score < *other.score;
    }
    if (score.has_value() != other.score.has_value())
        return !score.has_value();
    return identity_less(stepper, other.stepper);
}

bool StepperDelta::is_attractive_path() const {
    return !was_healed || mutable_stepper(stepper).has_reached_accept_state();
}

std::string StepperDelta::to_string() const {
    return "StepperDelta(stepper=" + mutable_stepper(stepper).to_string() + ", token=" + token +
           ", was_healed=" + (was_healed ? "1" : "0") + ")";
}

bool DeltaSet::insert(StepperDelta delta) {
    auto place = std::upper_bound(items_.begin(), items_.end(), delta,
                                  [](const StepperDelta &a, const StepperDelta &b) { return a < b; });
    if (place != items_.begin() && !(*std::prev(place) < delta))
        return false;
    items_.insert(place, std::move(delta));
    return true;
}

std::mt19937 &shared_random_generator() {
    static std::mt19937 generator{std::random_device{}()};
    return generator;
}

namespace {

struct Candidate {
    const StepperDelta *delta;
    bool accepted;
    float score;
};

// Whether `challenger`, met later in set order, replaces `best`.
bool replaces(const Candidate &challenger, const Candidate &best) {
    if (challenger.accepted != best.accepted)
        return challenger.accepted;
    if (challenger.delta->was_healed != best.delta->was_healed)
        return !challenger.delta->was_healed;
    if (challenger.score > best.score)
        return true;
    if (std::fabs(challenger.score - best.score) >= 1e-6f)
        return false;
    return challenger.delta->token.size() > best.delta->token.size();
}

} // namespace

TokenId checked_token_id(uint64_t id) {
    if (id > uint64_t(INT32_MAX))
        throw std::invalid_argument("token id " + std::to_string(id) +
                                    " is out of range: token ids run from 0 to 2**31 - 1");
    return static_cast<TokenId>(id);
}

TokenId pick_vocabulary_id(const TrieMap &vocabulary, const std::string &token) {
    auto found = vocabulary.find(token);
    if (found == vocabulary.cend())
        throw MissingVocabularyKey(token);
    const std::vector<unsigned int> &ids = found.value();
    if (ids.empty())
        throw std::runtime_error("vocabulary entry '" + token + "' holds no token id");
    if (ids.size() == 1)
        return checked_token_id(ids.front());
    std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
    return checked_token_id(ids[pick(shared_random_generator())]);
}

const StepperDelta *best_delta(const DeltaSet &deltas) {
    std::optional<Candidate> best;
    for (const StepperDelta &delta : deltas.items()) {
        Candidate candidate{&delta, mutable_stepper(delta.stepper).has_reached_accept_state(),
                            delta.score.value_or(0.0f)};
        if (!best || replaces(candidate, *best))
            best = candidate;
    }
    return best ? best->delta : nullptr;
}

std::vector<StepperRef> steppers_with_token(const DeltaSet &deltas, const std::string &token) {
    std::vector<StepperRef> steppers;
    for (const StepperDelta &delta : deltas.items())
        if (delta.token == token)
            steppers.push_back(delta.stepper);
    return steppers;
}

BestPath choose_best_path(const DeltaSet &deltas, const TrieMap &vocabulary,
                          const MultiTokenMapping *multi_token_mapping) {
    const StepperDelta *winner = best_delta(deltas);
    if (!winner || winner->token.empty())
        return {};
    TokenId chosen = winner->token_id ? *winner->token_id : pick_vocabulary_id(vocabulary, winner->token);
    std::vector<TokenId> ids{chosen};
    if (multi_token_mapping) {
        auto mapped = multi_token_mapping->find(chosen);
        if (mapped != multi_token_mapping->end())
            ids = mapped->second;
    }
    return {std::move(ids), steppers_with_token(deltas, winner->token)};
}

} // namespace zel
