#include "exact_mask/token_tree.hpp"

#include <algorithm>

namespace zel {

namespace {

// Bytes in the UTF-8 character starting at `position`, counted the way the
// stepping protocol counts characters, cut at the end of the key.
size_t character_size(const std::string &key, size_t position) {
    unsigned char lead = static_cast<unsigned char>(key[position]);
    size_t size = 1;
    if (lead >= 0xF0)
        size = 4;
    else if (lead >= 0xE0)
        size = 3;
    else if (lead >= 0x80)
        size = 2;
    return std::min(size, key.size() - position);
}

size_t common_prefix(const std::string &a, const std::string &b) {
    size_t limit = std::min(a.size(), b.size());
    size_t i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

} // namespace

TokenTree::TokenTree(const VocabularyIndex &index) : index_build_(index.builds()) {
    const size_t count = index.key_count();
    nodes_.reserve(count + count / 2);
    for (size_t i = 0; i < count; ++i)
        for (const unsigned int *id = index.ids_begin(i); id != index.ids_end(i); ++id)
            id_bound_ = std::max<uint64_t>(id_bound_, uint64_t(*id) + 1);
    add_children(index, 0, count, 0, 1);
}

// Adds the subtrees below a node at `depth` bytes whose keys are
// [first, last) of the index, all sharing their first `depth` bytes.
void TokenTree::add_children(const VocabularyIndex &index, size_t first, size_t last, size_t depth,
                             uint32_t level) {
    // The key that ends at this node sorts first; the node records it.
    if (first < last && index.key(first).size() == depth)
        ++first;
    while (first < last) {
        const std::string &head = index.key(first);
        const size_t character_end = depth + character_size(head, depth);
        // The keys that share the next character are one sorted run.
        size_t group_end = first + 1;
        while (group_end < last && index.key(group_end).size() >= character_end &&
               index.key(group_end).compare(depth, character_end - depth, head, depth,
                                            character_end - depth) == 0)
            ++group_end;
        // The group's common prefix, cut back to whole characters.
        size_t shared = common_prefix(head, index.key(group_end - 1));
        size_t node_depth = character_end;
        while (node_depth < shared) {
            size_t next = node_depth + character_size(head, node_depth);
            if (next > shared)
                break;
            node_depth = next;
        }
        const uint32_t node_index = uint32_t(nodes_.size());
        TokenTreeNode node{};
        node.edge_begin = uint32_t(arena_.size());
        arena_.append(head, depth, node_depth - depth);
        node.edge_end = uint32_t(arena_.size());
        node.level = level;
        node.ids_begin = node.ids_end = uint32_t(ids_.size());
        if (head.size() == node_depth) {
            ids_.insert(ids_.end(), index.ids_begin(first), index.ids_end(first));
            node.ids_end = uint32_t(ids_.size());
        }
        nodes_.push_back(node);
        levels_ = std::max(levels_, level);
        add_children(index, first, group_end, node_depth, level + 1);
        nodes_[node_index].subtree_end = uint32_t(nodes_.size());
        first = group_end;
    }
}

} // namespace zel
