// Code points of UTF-8 text and sets of them: leaves match characters, not
// bytes, and their automata move on code points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel {

constexpr char32_t kLastCodePoint = 0x10FFFF;
// What a malformed or truncated UTF-8 sequence decodes to: no automaton
// has a transition on it.
constexpr char32_t kNotACodePoint = 0xFFFFFFFF;

// Decodes the code point starting at text[at] and moves `at` past it. A
// malformed sequence yields kNotACodePoint and moves past its first byte.
char32_t next_code_point(std::string_view text, size_t &at);

// Every code point of `text`, in order.
std::vector<char32_t> decode_utf8(std::string_view text);

void append_utf8(std::string &text, char32_t code_point);

// A set of code points as sorted, disjoint, non-adjacent closed ranges.
class CodePointSet {
public:
    using Range = std::pair<char32_t, char32_t>;

    CodePointSet() = default;
    static CodePointSet of(char32_t code_point) { return range(code_point, code_point); }
    static CodePointSet range(char32_t first, char32_t last);
    static CodePointSet everything() { return range(0, kLastCodePoint); }

    void add(char32_t first, char32_t last);
    void add(const CodePointSet &other);
    CodePointSet complement() const;

    const std::vector<Range> &ranges() const { return ranges_; }
    bool empty() const { return ranges_.empty(); }
    bool contains(char32_t code_point) const;
    // Number of code points in the set.
    uint64_t size() const;

private:
    void normalize();
    std::vector<Range> ranges_;
};

} // namespace zel
