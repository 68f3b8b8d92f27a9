#include "engine/vocabulary_index.hpp"

#include <algorithm>
#include <numeric>

namespace zel {

void VocabularyIndex::refresh(const TrieMap &vocabulary) {
    if (built_ && vocabulary.identity() == identity_ && vocabulary.generation() == generation_)
        return;
    std::vector<std::pair<std::string, const std::vector<unsigned int> *>> entries;
    entries.reserve(vocabulary.size());
    for (auto entry = vocabulary.cbegin(); entry != vocabulary.cend(); ++entry)
        entries.emplace_back(entry.key(), &entry.value());
    // std::string orders by unsigned bytes, as the trie's prefixes do.
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    keys_.clear();
    offsets_.clear();
    ids_.clear();
    keys_.reserve(entries.size());
    offsets_.reserve(entries.size() + 1);
    longest_key_size_ = 0;
    for (auto &[key, ids] : entries) {
        longest_key_size_ = std::max(longest_key_size_, key.size());
        offsets_.push_back(uint32_t(ids_.size()));
        ids_.insert(ids_.end(), ids->begin(), ids->end());
        keys_.push_back(std::move(key));
    }
    offsets_.push_back(uint32_t(ids_.size()));
    fingerprints_.build(keys_);
    identity_ = vocabulary.identity();
    generation_ = vocabulary.generation();
    built_ = true;
    ++builds_;
}

std::pair<size_t, size_t> VocabularyIndex::prefix_range(const std::string &prefix) const {
    auto first = std::lower_bound(keys_.begin(), keys_.end(), prefix);
    auto last = std::partition_point(first, keys_.end(), [&](const std::string &key) {
        return key.compare(0, prefix.size(), prefix) == 0;
    });
    return {size_t(first - keys_.begin()), size_t(last - keys_.begin())};
}

} // namespace zel
