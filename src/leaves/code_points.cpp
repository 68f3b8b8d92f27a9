// UTF-8 decoding on code-point boundaries and code-point sets.
#include "leaves/code_points.hpp"

#include <algorithm>

namespace zel {

char32_t next_code_point(std::string_view text, size_t &at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    size_t length;
    char32_t value;
    char32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        ++at;
        return kNotACodePoint;
    }
    if (at + length > text.size()) {
        ++at;
        return kNotACodePoint;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char continuation = byte(at + i);
        if ((continuation & 0xC0) != 0x80) {
            ++at;
            return kNotACodePoint;
        }
        value = (value << 6) | (continuation & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are
    // not UTF-8.
    if (value < least || value > kLastCodePoint || (value >= 0xD800 && value <= 0xDFFF)) {
        ++at;
        return kNotACodePoint;
    }
    at += length;
    return value;
}

std::vector<char32_t> decode_utf8(std::string_view text) {
    std::vector<char32_t> code_points;
    for (size_t at = 0; at < text.size();)
        code_points.push_back(next_code_point(text, at));
    return code_points;
}

void append_utf8(std::string &text, char32_t c) {
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

CodePointSet CodePointSet::range(char32_t first, char32_t last) {
    CodePointSet set;
    set.add(first, last);
    return set;
}

void CodePointSet::add(char32_t first, char32_t last) {
    if (first > last)
        return;
    ranges_.emplace_back(first, std::min(last, kLastCodePoint));
    normalize();
}

void CodePointSet::add(const CodePointSet &other) {
    ranges_.insert(ranges_.end(), other.ranges_.begin(), other.ranges_.end());
    normalize();
}

void CodePointSet::normalize() {
    std::sort(ranges_.begin(), ranges_.end());
    std::vector<Range> merged;
    for (const Range &range : ranges_) {
        if (!merged.empty() && range.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    ranges_ = std::move(merged);
}

CodePointSet CodePointSet::complement() const {
    CodePointSet result;
    char32_t next = 0;
    for (const Range &range : ranges_) {
        if (range.first > next)
            result.ranges_.emplace_back(next, range.first - 1);
        next = range.second + 1;
    }
    if (next <= kLastCodePoint)
        result.ranges_.emplace_back(next, kLastCodePoint);
    return result;
}

bool CodePointSet::contains(char32_t code_point) const {
    auto after = std::upper_bound(ranges_.begin(), ranges_.end(), Range(code_point, kNotACodePoint));
    return after != ranges_.begin() && std::prev(after)->second >= code_point;
}

uint64_t CodePointSet::size() const {
    uint64_t total = 0;
    for (const Range &range : ranges_)
        total += uint64_t(range.second) - range.first + 1;
    return total;
}

} // namespace zel
