// Moving through a Dfa: table lookups for ASCII, a binary search beyond.
#include "leaves/dfa.hpp"

#include <algorithm>
#include <atomic>

namespace zel {

namespace {
std::atomic<uint64_t> next_identity{1};
}

Dfa::Dfa(std::vector<std::vector<Range>> transitions, std::vector<bool> accepting,
         std::string description)
    : transitions_(std::move(transitions)), accepting_(std::move(accepting)),
      description_(std::move(description)), identity_(next_identity++) {
    ascii_.assign(accepting_.size() * 128, kDead);
    for (size_t state = 0; state < transitions_.size(); ++state)
        for (const Range &range : transitions_[state])
            for (char32_t c = range.first; c <= range.last && c < 128; ++c)
                ascii_[state * 128 + c] = range.target;
}

Dfa::State Dfa::next_beyond_ascii(State state, char32_t code_point) const {
    const std::vector<Range> &ranges = transitions_[size_t(state)];
    auto after = std::upper_bound(ranges.begin(), ranges.end(), code_point,
                                  [](char32_t c, const Range &range) { return c < range.first; });
    if (after == ranges.begin())
        return kDead;
    const Range &range = *std::prev(after);
    return code_point <= range.last ? range.target : kDead;
}

Dfa::Walk Dfa::walk(State from, std::string_view text) const {
    Walk walk{from, 0, 0};
    size_t at = 0;
    while (at < text.size()) {
        State following = next(walk.state, next_code_point(text, at));
        if (following == kDead)
            break;
        walk.state = following;
        walk.bytes = at;
        ++walk.characters;
    }
    return walk;
}

} // namespace zel
