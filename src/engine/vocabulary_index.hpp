// The vocabulary's keys in byte-wise order with their ids laid out side by
// side, so that the ids of every key under a prefix are one contiguous run.
// Token masks enumerate such prefix ranges for every valid continuation; a
// sorted run reads memory in order where the trie would chase one heap list
// per key. The index is rebuilt when its map changed since it was built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/key_fingerprints.hpp"
#include "support/trie_map.hpp"

namespace zel {

class VocabularyIndex {
public:
    // Rebuilds from `vocabulary` unless it was built from this map as it is.
    void refresh(const TrieMap &vocabulary);
    void invalidate() { built_ = false; }

    // Bytes in the longest key: no longer text can be a key, which bounds
    // the searches that test every prefix of a text.
    size_t longest_key_size() const { return longest_key_size_; }
    // Key lengths and fingerprints, for spelling texts.
    const KeyFingerprints &fingerprints() const { return fingerprints_; }

    // Calls visit(id) for every id of every key that starts with `prefix`.
    template <typename Visit> void for_each_id_with_prefix(const std::string &prefix, Visit &&visit) const {
        auto [first, last] = prefix_range(prefix);
        for (uint32_t i = offsets_[first]; i < offsets_[last]; ++i)
            visit(ids_[i]);
    }

    // The keys in byte-wise order and the ids of each, for walks that
    // visit every key (exact masks). `builds` counts the rebuilds, so that
    // structures derived from the index know when to follow it.
    size_t key_count() const { return keys_.size(); }
    const std::string &key(size_t index) const { return keys_[index]; }
    const unsigned int *ids_begin(size_t index) const { return ids_.data() + offsets_[index]; }
    const unsigned int *ids_end(size_t index) const { return ids_.data() + offsets_[index + 1]; }
    uint64_t builds() const { return builds_; }

private:
    // The run of keys [first, last) that start with prefix.
    std::pair<size_t, size_t> prefix_range(const std::string &prefix) const;

    bool built_ = false;
    // The map it was built from, and that map's generation then.
    uint64_t identity_ = 0;
    uint64_t generation_ = 0;
    std::vector<std::string> keys_;
    std::vector<uint32_t> offsets_;
    std::vector<unsigned int> ids_;
    size_t longest_key_size_ = 0;
    KeyFingerprints fingerprints_;
    uint64_t builds_ = 0;
};

} // namespace zel
