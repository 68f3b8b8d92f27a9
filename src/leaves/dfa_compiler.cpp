// Pattern tree -> automaton with empty moves -> Dfa.
#include "leaves/dfa_compiler.hpp"

#include <algorithm>
#include <map>

namespace zel {

namespace {

struct NfaState {
    std::vector<uint32_t> empty_moves;
    // On any code point of `on`, to `target` (one per state at most).
    CodePointSet on;
    uint32_t target = 0;
    bool has_move = false;
};

class Nfa {
public:
    uint32_t add() {
        if (states.size() >= kMostAutomatonStates)
            throw PatternError("pattern needs more than " +
                                   std::to_string(kMostAutomatonStates) + " automaton states",
                               0);
        states.emplace_back();
        return uint32_t(states.size() - 1);
    }

    // Builds `node` between new states; returns (entry, exit).
    std::pair<uint32_t, uint32_t> build(const RegexNode &node) {
        using Kind = RegexNode::Kind;
        uint32_t entry = add(), exit = add();
        switch (node.kind) {
        case Kind::Empty:
            link(entry, exit);
            break;
        case Kind::Characters:
            states[entry].on = node.characters;
            states[entry].target = exit;
            states[entry].has_move = !node.characters.empty();
            break;
        case Kind::Sequence: {
            uint32_t at = entry;
            for (const RegexNode &child : node.children) {
                auto [child_entry, child_exit] = build(child);
                link(at, child_entry);
                at = child_exit;
            }
            link(at, exit);
            break;
        }
        case Kind::Alternatives:
            for (const RegexNode &child : node.children) {
                auto [child_entry, child_exit] = build(child);
                link(entry, child_entry);
                link(child_exit, exit);
            }
            break;
        case Kind::Repeat: {
            const RegexNode &child = node.children[0];
            uint32_t at = entry;
            for (uint32_t i = 0; i < node.least; ++i) {
                auto [child_entry, child_exit] = build(child);
                link(at, child_entry);
                at = child_exit;
            }
            if (node.most == RegexNode::kUnbounded) {
                auto [child_entry, child_exit] = build(child);
                link(at, child_entry);
                link(child_exit, child_entry);
                link(child_exit, exit);
                link(at, exit);
            } else {
                // Each optional copy may be skipped, which ends the run.
                for (uint32_t i = node.least; i < node.most; ++i) {
                    auto [child_entry, child_exit] = build(child);
                    link(at, child_entry);
                    link(at, exit);
                    at = child_exit;
                }
                link(at, exit);
            }
            break;
        }
        }
        return {entry, exit};
    }

    void link(uint32_t from, uint32_t to) { states[from].empty_moves.push_back(to); }

    // The states reachable from `seeds` by empty moves, sorted.
    std::vector<uint32_t> closure(std::vector<uint32_t> seeds) {
        std::vector<uint32_t> result;
        ++generation_;
        marks_.resize(states.size(), 0);
        while (!seeds.empty()) {
            uint32_t state = seeds.back();
            seeds.pop_back();
            if (marks_[state] == generation_)
                continue;
            marks_[state] = generation_;
            result.push_back(state);
            for (uint32_t following : states[state].empty_moves)
                seeds.push_back(following);
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    std::vector<NfaState> states;

private:
    std::vector<uint32_t> marks_;
    uint32_t generation_ = 0;
};

struct DfaParts {
    std::vector<std::vector<Dfa::Range>> transitions;
    std::vector<bool> accepting;
};

// Keeps the states that can reach an accepting state (the start state
// always), renumbered in order; transitions to dropped states go to kDead.
DfaParts without_hopeless_states(std::vector<std::vector<Dfa::Range>> transitions,
                                 std::vector<bool> accepting) {
    size_t count = accepting.size();
    std::vector<std::vector<uint32_t>> sources(count);
    for (size_t state = 0; state < count; ++state)
        for (const Dfa::Range &range : transitions[state])
            sources[size_t(range.target)].push_back(uint32_t(state));
    std::vector<bool> hopeful(accepting);
    std::vector<uint32_t> pending;
    for (size_t state = 0; state < count; ++state)
        if (accepting[state])
            pending.push_back(uint32_t(state));
    while (!pending.empty()) {
        uint32_t state = pending.back();
        pending.pop_back();
        for (uint32_t source : sources[state])
            if (!hopeful[source]) {
                hopeful[source] = true;
                pending.push_back(source);
            }
    }
    std::vector<Dfa::State> renumbered(count, Dfa::kDead);
    Dfa::State kept = 0;
    for (size_t state = 0; state < count; ++state)
        if (hopeful[state] || state == 0)
            renumbered[state] = kept++;
    std::vector<std::vector<Dfa::Range>> kept_transitions(static_cast<size_t>(kept));
    std::vector<bool> kept_accepting(static_cast<size_t>(kept));
    for (size_t state = 0; state < count; ++state) {
        Dfa::State now = renumbered[state];
        if (now == Dfa::kDead)
            continue;
        kept_accepting[size_t(now)] = accepting[state];
        if (!hopeful[state])
            continue; // a hopeless start state leads nowhere
        for (const Dfa::Range &range : transitions[state]) {
            Dfa::State target = renumbered[size_t(range.target)];
            if (target != Dfa::kDead && hopeful[size_t(range.target)])
                kept_transitions[size_t(now)].push_back({range.first, range.last, target});
        }
    }
    return {std::move(kept_transitions), std::move(kept_accepting)};
}

// Ranges whose targets are given by `target_of`, adjacent ones with the same
// target merged.
template <typename TargetOf>
std::vector<Dfa::Range> relabelled(const std::vector<Dfa::Range> &ranges, TargetOf target_of) {
    std::vector<Dfa::Range> result;
    for (const Dfa::Range &range : ranges) {
        Dfa::State target = target_of(range.target);
        if (!result.empty() && result.back().target == target && result.back().last + 1 == range.first)
            result.back().last = range.last;
        else
            result.push_back({range.first, range.last, target});
    }
    return result;
}

// Merges states that accept the same continuations (Moore's refinement:
// split classes by acceptance, then by the classes their transitions lead
// to, until nothing splits), numbered breadth first from the start state.
// Refinement takes up to one round per state, so large automata are left
// as they are: they are correct, only bigger.
constexpr size_t kMostStatesToMinimize = 4096;

DfaParts minimized(DfaParts parts) {
    size_t count = parts.accepting.size();
    if (count > kMostStatesToMinimize)
        return parts;
    std::vector<Dfa::State> group(count);
    for (size_t state = 0; state < count; ++state)
        group[state] = parts.accepting[state] ? 1 : 0;
    size_t groups = 0;
    while (true) {
        std::map<std::pair<Dfa::State, std::vector<Dfa::Range>>, Dfa::State> numbering;
        std::vector<Dfa::State> refined(count);
        for (size_t state = 0; state < count; ++state) {
            auto key = std::make_pair(group[state],
                                      relabelled(parts.transitions[state],
                                                 [&](Dfa::State target) { return group[size_t(target)]; }));
            auto found = numbering.emplace(std::move(key), Dfa::State(numbering.size())).first;
            refined[state] = found->second;
        }
        group = std::move(refined);
        if (numbering.size() == groups)
            break;
        groups = numbering.size();
    }
    // Breadth-first numbering of the groups, the start state's first.
    std::vector<Dfa::State> number(groups, Dfa::kDead);
    std::vector<size_t> representative;
    number[size_t(group[0])] = 0;
    representative.push_back(0);
    for (size_t next = 0; next < representative.size(); ++next)
        for (const Dfa::Range &range : parts.transitions[representative[next]]) {
            Dfa::State &target = number[size_t(group[size_t(range.target)])];
            if (target == Dfa::kDead) {
                target = Dfa::State(representative.size());
                representative.push_back(size_t(range.target));
            }
        }
    DfaParts result;
    for (size_t state : representative) {
        result.transitions.push_back(
            relabelled(parts.transitions[state],
                       [&](Dfa::State target) { return number[size_t(group[size_t(target)])]; }));
        result.accepting.push_back(parts.accepting[state]);
    }
    return result;
}

} // namespace

std::shared_ptr<const Dfa> compile_dfa(const RegexNode &pattern, std::string description) {
    Nfa nfa;
    auto [entry, exit] = nfa.build(pattern);

    std::map<std::vector<uint32_t>, Dfa::State> numbers;
    std::vector<std::vector<uint32_t>> subsets;
    std::vector<std::vector<Dfa::Range>> transitions;
    std::vector<bool> accepting;
    auto number_of = [&](std::vector<uint32_t> subset) {
        auto found = numbers.find(subset);
        if (found != numbers.end())
            return found->second;
        if (subsets.size() >= kMostDfaStates)
            throw PatternError("pattern needs more than " + std::to_string(kMostDfaStates) +
                                   " automaton states",
                               0);
        Dfa::State number = Dfa::State(subsets.size());
        numbers.emplace(subset, number);
        accepting.push_back(std::binary_search(subset.begin(), subset.end(), exit));
        subsets.push_back(std::move(subset));
        transitions.emplace_back();
        return number;
    };
    number_of(nfa.closure({entry}));

    for (size_t done = 0; done < subsets.size(); ++done) {
        // The alphabet splits at every start and every end + 1 of the
        // subset's moves; between two cuts all code points go alike.
        std::vector<char32_t> cuts;
        std::vector<uint32_t> movers;
        for (uint32_t state : subsets[done]) {
            const NfaState &nfa_state = nfa.states[state];
            if (!nfa_state.has_move)
                continue;
            movers.push_back(state);
            for (const CodePointSet::Range &range : nfa_state.on.ranges()) {
                cuts.push_back(range.first);
                cuts.push_back(range.second + 1);
            }
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        std::vector<Dfa::Range> ranges;
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            char32_t first = cuts[i], last = cuts[i + 1] - 1;
            std::vector<uint32_t> targets;
            for (uint32_t state : movers)
                if (nfa.states[state].on.contains(first))
                    targets.push_back(nfa.states[state].target);
            if (targets.empty())
                continue;
            Dfa::State target = number_of(nfa.closure(std::move(targets)));
            if (!ranges.empty() && ranges.back().target == target && ranges.back().last + 1 == first)
                ranges.back().last = last;
            else
                ranges.push_back({first, last, target});
        }
        transitions[done] = std::move(ranges);
    }
    DfaParts parts = minimized(without_hopeless_states(std::move(transitions), std::move(accepting)));
    return std::make_shared<const Dfa>(std::move(parts.transitions), std::move(parts.accepting),
                                       std::move(description));
}

std::shared_ptr<const Dfa> compile_pattern(const std::string &pattern) {
    return compile_dfa(parse_pattern(pattern), pattern);
}

} // namespace zel
