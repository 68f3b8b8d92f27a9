// The regular-expression subset that lexical leaves compile, parsed into a
// tree. Patterns match whole leaf values on code points:
//   literal characters; escapes \\ \. \n \t \r \f \v \0 \xHH \uHHHH
//   \UHHHHHHHH and any escaped punctuation; \d \D \w \W \s \S (ASCII
//   digits, word characters [A-Za-z0-9_] and white space [ \t\n\r\f\v]);
//   classes [abc] [a-z] [^...] with escapes and \d \w \s inside (a "]"
//   first in the class and a "-" first or last are literal); "." (any code
//   point but a line feed); groups (...) and (?:...); alternation |; the
//   quantifiers * + ? {m} {m,} {,n} {m,n}, each optionally followed by "?"
//   (lazy and greedy match the same whole values). A "{" that does not
//   start a quantifier is literal. Anchors, backreferences, lookaround,
//   named groups, flags and possessive quantifiers are refused.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "leaves/code_points.hpp"

namespace zel {

// A pattern that is not in the subset; `position` counts code points.
class PatternError : public std::invalid_argument {
public:
    PatternError(const std::string &what, size_t position);
    size_t position() const { return position_; }

private:
    size_t position_;
};

struct RegexNode {
    enum class Kind { Empty, Characters, Sequence, Alternatives, Repeat };
    static constexpr uint32_t kUnbounded = UINT32_MAX;

    Kind kind = Kind::Empty;
    CodePointSet characters;           // Characters
    std::vector<RegexNode> children;   // Sequence, Alternatives; Repeat has one
    uint32_t least = 0;                // Repeat
    uint32_t most = 0;                 // Repeat; kUnbounded for no limit
};

// Repetition counts above this are refused: each repetition becomes states.
constexpr uint32_t kMostRepetitions = 10000;
// Groups nested deeper than this are refused.
constexpr size_t kMostGroupNesting = 200;

RegexNode parse_pattern(const std::string &pattern);

} // namespace zel
