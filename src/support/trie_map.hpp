// The string-keyed index of the system: token text (UTF-8 bytes) to the ids
// of the tokens with that text, with longest-prefix and prefix-range search.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <tsl/htrie_map.h>

namespace zel {

using HatTrie = tsl::htrie_map<char, std::vector<unsigned int>, tsl::ah::str_hash<char>,
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

// The vocabulary trie: token text to the ids of the tokens with that text.
// Reads go straight to the HAT-trie; every change goes through the few
// members below, which count it. Indexes derived from a map remember its
// identity and generation and rebuild only when that map changed, so one
// Engine's edits never cost another Engine a rebuild.
class TrieMap : private HatTrie {
public:
    using HatTrie::const_iterator;
    using HatTrie::iterator;
    using HatTrie::at;
    using HatTrie::begin;
    using HatTrie::burst_threshold;
    using HatTrie::cbegin;
    using HatTrie::cend;
    using HatTrie::empty;
    using HatTrie::end;
    using HatTrie::equal_prefix_range;
    using HatTrie::find;
    using HatTrie::find_ks;
    using HatTrie::longest_prefix;
    using HatTrie::longest_prefix_ks;
    using HatTrie::max_load_factor;
    using HatTrie::size;

    TrieMap() : identity_(next_identity()) {}
    explicit TrieMap(size_t burst_threshold) : TrieMap() { HatTrie::burst_threshold(burst_threshold); }
    TrieMap(const TrieMap &other) : HatTrie(other), identity_(next_identity()) {}
    TrieMap &operator=(const TrieMap &other) {
        HatTrie::operator=(other);
        note_change();
        return *this;
    }
    TrieMap(TrieMap &&other) : HatTrie(std::move(other)), identity_(next_identity()) {
        other.note_change();
    }
    TrieMap &operator=(TrieMap &&other) {
        HatTrie::operator=(std::move(other));
        note_change();
        other.note_change();
        return *this;
    }

    // Adds `key` with the list [id] when it is absent; changes nothing
    // otherwise.
    void insert_if_absent(const std::string &key, unsigned int id) {
        if (HatTrie::insert(key, std::vector<unsigned int>{id}).second)
            note_change();
    }
    // Appends `id` to the ids of `key`, adding the key when it is absent.
    void add_id(const std::string &key, unsigned int id) {
        auto found = HatTrie::find(key);
        if (found == HatTrie::end())
            HatTrie::insert(key, std::vector<unsigned int>{id});
        else
            found.value().push_back(id);
        note_change();
    }
    size_t erase(const std::string &key) {
        size_t erased = HatTrie::erase(key);
        if (erased)
            note_change();
        return erased;
    }
    void clear() {
        HatTrie::clear();
        note_change();
    }

    // Which map this is: no two maps, alive or dead, share one.
    uint64_t identity() const { return identity_; }
    // How many changes this map has seen.
    uint64_t generation() const { return generation_; }

private:
    static uint64_t next_identity() {
        static std::atomic<uint64_t> identities{0};
        return identities.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    void note_change() { ++generation_; }

    uint64_t identity_;
    uint64_t generation_ = 0;
};

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

} // namespace zel
