// The string-keyed index of the system: token text (UTF-8 bytes) to the ids
// of the tokens with that text, with longest-prefix and prefix-range search.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <tsl/htrie_map.h>

namespace zel {

using TrieMap = tsl::htrie_map<char, std::vector<unsigned int>, tsl::ah::str_hash<char>,
                               unsigned short>;

// Burst thresholds outside this range are clamped into it.
constexpr size_t kMinBurstThreshold = 4;
constexpr size_t kMaxBurstThreshold = 65535;
constexpr size_t kDefaultBurstThreshold = 16384;

inline size_t clamp_burst_threshold(size_t threshold) {
    if (threshold < kMinBurstThreshold)
        return kMinBurstThreshold;
    if (threshold > kMaxBurstThreshold)
        return kMaxBurstThreshold;
    return threshold;
}

// A process-wide count of changes made to the contents of any map. Indexes
// derived from a map remember the count they were built at and rebuild when
// it moved; every operation that changes keys or id lists calls
// note_trie_change.
inline std::atomic<uint64_t> &trie_change_counter() {
    static std::atomic<uint64_t> counter{0};
    return counter;
}
inline uint64_t trie_generation() { return trie_change_counter().load(std::memory_order_acquire); }
inline void note_trie_change() { trie_change_counter().fetch_add(1, std::memory_order_acq_rel); }

// Bytes in the map's longest key, by a walk over every key.
inline size_t longest_key_size(const TrieMap &map) {
    size_t longest = 0;
    std::string key;
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
        entry.key(key);
        if (key.size() > longest)
            longest = key.size();
    }
    return longest;
}

// Adds `key` with the list [id] when it is absent; changes nothing otherwise.
inline void trie_insert(TrieMap &map, const std::string &key, unsigned int id) {
    if (map.insert(key, std::vector<unsigned int>{id}).second)
        note_trie_change();
}

} // namespace zel
