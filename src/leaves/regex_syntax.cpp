// A recursive-descent parser for the leaves' regular-expression subset.
#include "leaves/regex_syntax.hpp"

namespace zel {

PatternError::PatternError(const std::string &what, size_t position)
    : std::invalid_argument(what + " at position " + std::to_string(position)),
      position_(position) {}

namespace {

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

int hex_value(char32_t c) {
    if (c >= '0' && c <= '9')
        return int(c - '0');
    if (c >= 'a' && c <= 'f')
        return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return int(c - 'A' + 10);
    return -1;
}

CodePointSet digits() { return CodePointSet::range('0', '9'); }

CodePointSet word_characters() {
    CodePointSet set = digits();
    set.add('a', 'z');
    set.add('A', 'Z');
    set.add('_', '_');
    return set;
}

CodePointSet white_space() {
    CodePointSet set = CodePointSet::range('\t', '\r'); // \t \n \v \f \r
    set.add(' ', ' ');
    return set;
}

RegexNode characters_node(CodePointSet set) {
    RegexNode node;
    node.kind = RegexNode::Kind::Characters;
    node.characters = std::move(set);
    return node;
}

class Parser {
public:
    explicit Parser(const std::string &pattern) : text_(decode_utf8(pattern)) {
        for (size_t at = 0; at < text_.size(); ++at)
            if (text_[at] == kNotACodePoint)
                throw PatternError("malformed UTF-8", at);
    }

    RegexNode parse() {
        RegexNode node = alternatives();
        if (at_ < text_.size()) // only a ")" stops alternatives() early
            throw PatternError("unbalanced parenthesis", at_);
        return node;
    }

private:
    bool done() const { return at_ >= text_.size(); }
    char32_t peek(size_t ahead = 0) const {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : kNotACodePoint;
    }

    RegexNode alternatives() {
        RegexNode first = sequence();
        if (peek() != '|')
            return first;
        RegexNode node;
        node.kind = RegexNode::Kind::Alternatives;
        node.children.push_back(std::move(first));
        while (peek() == '|') {
            ++at_;
            node.children.push_back(sequence());
        }
        return node;
    }

    RegexNode sequence() {
        RegexNode node;
        node.kind = RegexNode::Kind::Sequence;
        while (!done() && peek() != '|' && peek() != ')')
            node.children.push_back(quantified(atom()));
        return node;
    }

    RegexNode atom() {
        size_t start = at_;
        char32_t c = text_[at_++];
        switch (c) {
        case '(':
            return group(start);
        case '[':
            return characters_node(character_class(start));
        case '.':
            return characters_node(any_but_line_feed());
        case '\\':
            return characters_node(escape(start, false));
        case '*':
        case '+':
        case '?':
            throw PatternError("nothing to repeat", start);
        case '^':
        case '$':
            throw PatternError("anchors are not supported", start);
        case '{':
            if (quantifier_ahead(start))
                throw PatternError("nothing to repeat", start);
            return characters_node(CodePointSet::of(c));
        default:
            return characters_node(CodePointSet::of(c));
        }
    }

    static CodePointSet any_but_line_feed() {
        CodePointSet set = CodePointSet::range(0, '\n' - 1);
        set.add('\n' + 1, kLastCodePoint);
        return set;
    }

    RegexNode group(size_t start) {
        // Parsing, compiling and dropping the tree recurse once per level.
        if (++depth_ > kMostGroupNesting)
            throw PatternError("groups nested more than " + std::to_string(kMostGroupNesting) +
                                   " deep",
                               start);
        if (peek() == '?') {
            if (peek(1) != ':')
                throw PatternError("only (?:...) groups are supported", start);
            at_ += 2;
        }
        RegexNode inner = alternatives();
        if (peek() != ')')
            throw PatternError("missing ), unterminated subpattern", start);
        ++at_;
        --depth_;
        return inner;
    }

    // Whether text_[brace] starts {m}, {m,}, {,n} or {m,n}; reads nothing.
    bool quantifier_ahead(size_t brace) const {
        size_t at = brace + 1;
        size_t first_digits = 0;
        while (at < text_.size() && is_digit(text_[at]))
            ++at, ++first_digits;
        bool comma = at < text_.size() && text_[at] == ',';
        if (comma) {
            ++at;
            while (at < text_.size() && is_digit(text_[at]))
                ++at;
        }
        bool closed = at < text_.size() && text_[at] == '}';
        return closed && (first_digits || comma); // {,} is {0,}; {} is text
    }

    uint32_t count(size_t start) {
        uint64_t value = 0;
        while (is_digit(peek())) {
            value = value * 10 + (peek() - '0');
            if (value > kMostRepetitions)
                throw PatternError("repetition count above " + std::to_string(kMostRepetitions),
                                   start);
            ++at_;
        }
        return uint32_t(value);
    }

    RegexNode quantified(RegexNode atom) {
        while (!done()) {
            size_t start = at_;
            uint32_t least, most;
            char32_t c = peek();
            if (c == '*') {
                least = 0, most = RegexNode::kUnbounded, ++at_;
            } else if (c == '+') {
                least = 1, most = RegexNode::kUnbounded, ++at_;
            } else if (c == '?') {
                least = 0, most = 1, ++at_;
            } else if (c == '{' && quantifier_ahead(at_)) {
                ++at_;
                least = is_digit(peek()) ? count(start) : 0;
                most = least;
                if (peek() == ',') {
                    ++at_;
                    most = is_digit(peek()) ? count(start) : RegexNode::kUnbounded;
                }
                ++at_; // "}"
                if (most < least)
                    throw PatternError("min repeat greater than max repeat", start);
            } else {
                return atom;
            }
            if (peek() == '?')
                ++at_; // lazy: the same whole values
            else if (peek() == '+')
                throw PatternError("possessive quantifiers are not supported", at_);
            if (peek() == '*' || peek() == '+' || peek() == '?' ||
                (peek() == '{' && quantifier_ahead(at_)))
                throw PatternError("multiple repeat", at_);
            RegexNode node;
            node.kind = RegexNode::Kind::Repeat;
            node.least = least;
            node.most = most;
            node.children.push_back(std::move(atom));
            atom = std::move(node);
        }
        return atom;
    }

    char32_t hex_escape(size_t start, size_t length) {
        char32_t value = 0;
        for (size_t i = 0; i < length; ++i) {
            int digit = hex_value(peek());
            if (digit < 0)
                throw PatternError("incomplete escape", start);
            value = value * 16 + char32_t(digit);
            ++at_;
        }
        if (value > kLastCodePoint)
            throw PatternError("bad escape (code point out of range)", start);
        return value;
    }

    // After a backslash at `start`. In a class, \b is a backspace.
    CodePointSet escape(size_t start, bool in_class) {
        if (done())
            throw PatternError("bad escape (end of pattern)", start);
        char32_t c = text_[at_++];
        switch (c) {
        case 'd': return digits();
        case 'D': return digits().complement();
        case 'w': return word_characters();
        case 'W': return word_characters().complement();
        case 's': return white_space();
        case 'S': return white_space().complement();
        case 'n': return CodePointSet::of('\n');
        case 't': return CodePointSet::of('\t');
        case 'r': return CodePointSet::of('\r');
        case 'f': return CodePointSet::of('\f');
        case 'v': return CodePointSet::of('\v');
        case 'a': return CodePointSet::of('\a');
        case '0': return CodePointSet::of(0);
        case 'x': return CodePointSet::of(hex_escape(start, 2));
        case 'u': return CodePointSet::of(hex_escape(start, 4));
        case 'U': return CodePointSet::of(hex_escape(start, 8));
        case 'b':
            if (in_class)
                return CodePointSet::of('\b');
            throw PatternError("anchors are not supported", start);
        case 'B':
        case 'A':
        case 'Z':
            throw PatternError("anchors are not supported", start);
        default:
            if (c >= '1' && c <= '9')
                throw PatternError("backreferences are not supported", start);
            if (c < 128 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c)))
                return CodePointSet::of(c);
            if (c >= 128)
                return CodePointSet::of(c);
        }
        throw PatternError("bad escape \\" + std::string(1, char(c)), start);
    }

    // One member of a class: a set for \d and the like, else one code point.
    CodePointSet class_member(bool &single, char32_t &code_point) {
        size_t start = at_;
        char32_t c = text_[at_++];
        if (c != '\\') {
            single = true, code_point = c;
            return CodePointSet::of(c);
        }
        CodePointSet set = escape(start, true);
        single = set.ranges().size() == 1 && set.ranges()[0].first == set.ranges()[0].second;
        code_point = single ? set.ranges()[0].first : 0;
        return set;
    }

    CodePointSet character_class(size_t start) {
        bool negated = peek() == '^';
        if (negated)
            ++at_;
        CodePointSet set;
        bool first = true;
        while (true) {
            if (done())
                throw PatternError("unterminated character set", start);
            if (peek() == ']' && !first) {
                ++at_;
                break;
            }
            first = false;
            size_t member_start = at_;
            bool single;
            char32_t low;
            CodePointSet member = class_member(single, low);
            if (peek() == '-' && peek(1) != ']' && peek(1) != kNotACodePoint) {
                ++at_;
                bool high_single;
                char32_t high;
                class_member(high_single, high);
                if (!single || !high_single)
                    throw PatternError("bad character range", member_start);
                if (high < low)
                    throw PatternError("bad character range", member_start);
                set.add(low, high);
            } else {
                set.add(member);
            }
        }
        return negated ? set.complement() : set;
    }

    std::vector<char32_t> text_;
    size_t at_ = 0;
    size_t depth_ = 0;
};

} // namespace

RegexNode parse_pattern(const std::string &pattern) { return Parser(pattern).parse(); }

} // namespace zel
