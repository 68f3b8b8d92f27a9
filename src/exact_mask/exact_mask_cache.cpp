#include "exact_mask/exact_mask_cache.hpp"

namespace zel {

namespace {

// Automata are made per grammar and never reused; a server that builds a
// grammar per request would otherwise keep the splits of every one.
constexpr size_t kMostSplits = 4096;

} // namespace

ExactMaskCache::ExactMaskCache(const VocabularyIndex &index)
    : index_(&index), build_(index.builds()), tree_(std::make_shared<const TokenTree>(index)) {}

std::shared_ptr<const LeafTokenSplit> ExactMaskCache::split(const TokenTree &tree, const Dfa &dfa, Dfa::State state,
                                                             bool whole_tokens) {
    SplitKey key{tree.serial(), dfa.identity(), state, whole_tokens};
    auto found = splits_.find(key);
    if (found != splits_.end())
        return found->second;
    // Clearing drops trees of rests too; the callers hold the splits they
    // walk, and a tree's serial is never reused.
    if (splits_.size() >= kMostSplits)
        splits_.clear();
    std::shared_ptr<const LeafTokenSplit> split = split_tokens_at_leaf_state(tree, dfa, state, whole_tokens);
    splits_.emplace(key, split);
    return split;
}

} // namespace zel
