// Sets of token ids and token masks as packed bits over 0 … size - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel {

class TokenBits {
public:
    explicit TokenBits(uint32_t size, bool value = false)
        : size_(size), words_((size_t(size) + 63) / 64, value ? ~uint64_t(0) : 0) {
        trim();
    }

    uint32_t size() const { return size_; }
    bool test(uint32_t id) const { return (words_[id >> 6] >> (id & 63)) & 1u; }
    void set(uint32_t id) { words_[id >> 6] |= uint64_t(1) << (id & 63); }
    void reset(uint32_t id) { words_[id >> 6] &= ~(uint64_t(1) << (id & 63)); }

    const std::vector<uint64_t> &words() const { return words_; }
    std::vector<uint64_t> &words() { return words_; }

    // Calls visit(id) for every id whose bit is clear, in increasing order.
    template <typename Visit> void for_each_clear(Visit &&visit) const {
        for (size_t word = 0; word < words_.size(); ++word) {
            uint64_t clear = ~words_[word];
            if (word + 1 == words_.size() && (size_ & 63))
                clear &= (uint64_t(1) << (size_ & 63)) - 1;
            while (clear) {
                int bit = __builtin_ctzll(clear);
                visit(uint32_t(word * 64 + bit));
                clear &= clear - 1;
            }
        }
    }

private:
    // Bits past the end stay clear, so whole-word operations need no care.
    void trim() {
        if ((size_ & 63) && !words_.empty())
            words_.back() &= (uint64_t(1) << (size_ & 63)) - 1;
    }

    uint32_t size_;
    std::vector<uint64_t> words_;
};

// A set of token ids gathered for a mask of a given size: ids at or beyond
// the size cannot change the mask but still make the set non-empty.
class TokenIdSet {
public:
    explicit TokenIdSet(uint32_t mask_size) : bits_(mask_size) {}

    void insert(int64_t id) {
        any_ = true;
        if (id >= 0 && id < int64_t(bits_.size()))
            bits_.set(uint32_t(id));
    }
    template <typename Ids> void insert_all(const Ids &ids) {
        for (auto id : ids)
            insert(int64_t(id));
    }

    bool empty() const { return !any_; }
    const TokenBits &bits() const { return bits_; }

private:
    TokenBits bits_;
    bool any_ = false;
};

} // namespace zel
