// The vocabulary as a path-compressed trie laid out in depth-first order,
// for walks that decide every token at once: each node is a prefix where
// keys part ways (or a key ends), reached from its parent by one edge text.
// Walking the nodes in order with the grammar's state after each prefix
// shares the work of a prefix among all keys that start with it, and a
// refused prefix skips its whole subtree in one jump.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/vocabulary_index.hpp"

namespace zel {

struct TokenTreeNode {
    // The edge from the parent: bytes [edge_begin, edge_end) of the arena.
    uint32_t edge_begin;
    uint32_t edge_end;
    // Distance from the root (whose children have level 1).
    uint32_t level;
    // Index of the first node after this node's subtree.
    uint32_t subtree_end;
    // Ids of the key that ends exactly here: [ids_begin, ids_end) of ids().
    uint32_t ids_begin;
    uint32_t ids_end;
};

class TokenTree {
public:
    // Edges end on UTF-8 character boundaries of the keys, so every text a
    // walk hands to the grammar is whole characters (Python leaves receive
    // str).
    explicit TokenTree(const VocabularyIndex &index);
    // From (key, ids) entries sorted by key, each key once.
    using Entries = std::vector<std::pair<std::string, std::vector<unsigned int>>>;
    explicit TokenTree(const Entries &entries);

    const std::vector<TokenTreeNode> &nodes() const { return nodes_; }
    std::string edge(const TokenTreeNode &node) const { return std::string(edge_view(node)); }
    std::string_view edge_view(const TokenTreeNode &node) const {
        return std::string_view(arena_.data() + node.edge_begin, node.edge_end - node.edge_begin);
    }
    const char *arena() const { return arena_.data(); }
    const unsigned int *ids() const { return ids_.data(); }
    // The deepest node's level. The empty key has no node: an empty text
    // moves no grammar, so a walk never allows it.
    uint32_t levels() const { return levels_; }
    // One more than the largest id of any key (0 for an empty vocabulary).
    uint64_t id_bound() const { return id_bound_; }
    // Unique among the trees of the process, never reused: keys caches of
    // results per tree.
    uint64_t serial() const { return serial_; }

private:
    template <typename Keys> void build(const Keys &keys);
    template <typename Keys>
    void add_children(const Keys &keys, size_t first, size_t last, size_t depth, uint32_t level);

    std::vector<TokenTreeNode> nodes_;
    std::string arena_;
    std::vector<unsigned int> ids_;
    uint32_t levels_ = 0;
    uint64_t id_bound_ = 0;
    uint64_t serial_;
};

} // namespace zel
