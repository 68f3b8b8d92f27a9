// A deterministic automaton over code points: the whole behaviour of a
// lexical leaf. Built once (by the regex compiler), never changed, shared by
// the leaf machine and all its Steppers.
//
// Interface for code outside the leaf (exact masks, token precomputation):
//   - states are 0 .. state_count()-1; start() is 0; kDead (-1) is the dead
//     state, where next() leads on every refused code point and which
//     next() maps to itself;
//   - next(state, code point) and is_accepting(state) are the whole
//     behaviour; every state other than kDead can still reach an accepting
//     state (the start state excepted when the language is empty), so a walk
//     can stop at the first kDead;
//   - identity() is unique among the automata of one process and never
//     reused, so it (with a state) keys caches of per-state results;
//   - walk() advances over UTF-8 text and stops before the first code point
//     that leads to kDead (a malformed UTF-8 sequence is refused).
// Bounded repetitions are expanded into states, so nothing but the state
// number is needed to continue a walk.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "leaves/code_points.hpp"

namespace zel {

class Dfa {
public:
    using State = int32_t;
    static constexpr State kDead = -1;

    // A transition on every code point of [first, last].
    struct Range {
        char32_t first;
        char32_t last;
        State target;

        friend bool operator<(const Range &a, const Range &b) {
            return std::tie(a.first, a.last, a.target) < std::tie(b.first, b.last, b.target);
        }
    };

    // transitions[s] is sorted and disjoint; targets are states or kDead.
    Dfa(std::vector<std::vector<Range>> transitions, std::vector<bool> accepting,
        std::string description);

    State start() const { return 0; }
    size_t state_count() const { return accepting_.size(); }
    uint64_t identity() const { return identity_; }
    // The pattern (or construction) this automaton was compiled from.
    const std::string &description() const { return description_; }

    State next(State state, char32_t code_point) const {
        if (state < 0)
            return kDead;
        if (code_point < 128)
            return ascii_[size_t(state) * 128 + code_point];
        return next_beyond_ascii(state, code_point);
    }
    bool is_accepting(State state) const { return state >= 0 && accepting_[size_t(state)]; }
    // Whether some code point leads on from `state`.
    bool can_continue(State state) const {
        return state >= 0 && !transitions_[size_t(state)].empty();
    }
    const std::vector<Range> &transitions(State state) const {
        return transitions_[size_t(state)];
    }

    struct Walk {
        State state;          // the state after the prefix taken
        size_t bytes;         // length of that prefix in bytes
        uint32_t characters;  // and in code points
    };
    Walk walk(State from, std::string_view text) const;

private:
    State next_beyond_ascii(State state, char32_t code_point) const;

    std::vector<std::vector<Range>> transitions_;
    std::vector<bool> accepting_;
    // 128 entries per state for the code points most text is made of.
    std::vector<State> ascii_;
    std::string description_;
    uint64_t identity_;
};

} // namespace zel
