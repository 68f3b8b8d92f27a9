// What exact masks keep between calls: the token tree of the Engine's
// vocabulary and, per native leaf automaton state met so far, the split of
// the vocabulary that state decides on its own. Built lazily: the tree by
// the first mask, each split by the first mask that meets its state.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "engine/vocabulary_index.hpp"
#include "exact_mask/leaf_token_split.hpp"
#include "exact_mask/token_tree.hpp"

namespace zel {

class ExactMaskCache {
public:
    explicit ExactMaskCache(const VocabularyIndex &index);

    // Whether the cache was built from this index as it is now.
    bool follows(const VocabularyIndex &index) const {
        return &index == index_ && index.builds() == build_;
    }
    const std::shared_ptr<const TokenTree> &tree() const { return tree_; }
    // The split of `tree` (the cache's tree or a tree of rests that a split
    // of the cache holds) at a leaf state.
    std::shared_ptr<const LeafTokenSplit> split(const TokenTree &tree, const Dfa &dfa, Dfa::State state,
                                                bool whole_tokens);

private:
    struct SplitKey {
        uint64_t tree;
        uint64_t dfa;
        Dfa::State state;
        bool whole_tokens;
        bool operator==(const SplitKey &other) const {
            return tree == other.tree && dfa == other.dfa && state == other.state && whole_tokens == other.whole_tokens;
        }
    };
    struct SplitKeyHash {
        size_t operator()(const SplitKey &key) const {
            return std::hash<uint64_t>()((key.tree * 0x9E3779B97F4A7C15ull ^ key.dfa) * 0x9E3779B97F4A7C15ull ^
                                         uint64_t(uint32_t(key.state)) << 1 ^ uint64_t(key.whole_tokens));
        }
    };

    const VocabularyIndex *index_;
    uint64_t build_;
    std::shared_ptr<const TokenTree> tree_;
    std::unordered_map<SplitKey, std::shared_ptr<const LeafTokenSplit>, SplitKeyHash> splits_;
};

} // namespace zel
