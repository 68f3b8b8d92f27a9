#include "exact_mask/token_tree.hpp"

#include <algorithm>
#include <atomic>

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

namespace {

// The keys of a VocabularyIndex, or of sorted entries, read alike.
struct IndexKeys {
    const VocabularyIndex &index;
    size_t size() const { return index.key_count(); }
    const std::string &key(size_t i) const { return index.key(i); }
    const unsigned int *ids_begin(size_t i) const { return index.ids_begin(i); }
    const unsigned int *ids_end(size_t i) const { return index.ids_end(i); }
};

struct EntryKeys {
    const TokenTree::Entries &entries;
    size_t size() const { return entries.size(); }
    const std::string &key(size_t i) const { return entries[i].first; }
    const unsigned int *ids_begin(size_t i) const { return entries[i].second.data(); }
    const unsigned int *ids_end(size_t i) const { return entries[i].second.data() + entries[i].second.size(); }
};

uint64_t next_serial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

} // namespace

TokenTree::TokenTree(const VocabularyIndex &index) : serial_(next_serial()) { build(IndexKeys{index}); }

TokenTree::TokenTree(const Entries &entries) : serial_(next_serial()) { build(EntryKeys{entries}); }

template <typename Keys> void TokenTree::build(const Keys &keys) {
    const size_t count = keys.size();
    nodes_.reserve(count + count / 2);
    for (size_t i = 0; i < count; ++i)
        for (const unsigned int *id = keys.ids_begin(i); id != keys.ids_end(i); ++id)
            id_bound_ = std::max<uint64_t>(id_bound_, uint64_t(*id) + 1);
    add_children(keys, 0, count, 0, 1);
}

// Adds the subtrees below a node at `depth` bytes whose keys are
// [first, last) of `keys`, all sharing their first `depth` bytes.
template <typename Keys>
void TokenTree::add_children(const Keys &keys, size_t first, size_t last, size_t depth, uint32_t level) {
    // The key that ends at this node sorts first; the node records it.
    if (first < last && keys.key(first).size() == depth)
        ++first;
    while (first < last) {
        const std::string &head = keys.key(first);
        const size_t character_end = depth + character_size(head, depth);
        // The keys that share the next character are one sorted run.
        size_t group_end = first + 1;
        while (group_end < last && keys.key(group_end).size() >= character_end &&
               keys.key(group_end).compare(depth, character_end - depth, head, depth,
                                            character_end - depth) == 0)
            ++group_end;
        // The group's common prefix, cut back to whole characters.
        size_t shared = common_prefix(head, keys.key(group_end - 1));
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
            ids_.insert(ids_.end(), keys.ids_begin(first), keys.ids_end(first));
            node.ids_end = uint32_t(ids_.size());
        }
        nodes_.push_back(node);
        levels_ = std::max(levels_, level);
        add_children(keys, first, group_end, node_depth, level + 1);
        nodes_[node_index].subtree_end = uint32_t(nodes_.size());
        first = group_end;
    }
}

} // namespace zel
