#include "exact_mask/leaf_token_split.hpp"

#include <map>
#include <unordered_map>

namespace zel {

namespace {

class SplitBuilder {
public:
    SplitBuilder(const TokenTree &tree, const Dfa &dfa, bool whole_tokens)
        : tree_(tree), dfa_(dfa), whole_tokens_(whole_tokens) {}

    std::shared_ptr<const LeafTokenSplit> run(Dfa::State start) {
        auto split = std::make_shared<LeafTokenSplit>();
        const std::vector<TokenTreeNode> &nodes = tree_.nodes();
        // Automaton state and prefix length after the last node per level.
        std::vector<Dfa::State> states(tree_.levels() + 1, start);
        std::vector<size_t> lengths(tree_.levels() + 1, 0);
        std::string prefix;
        for (uint32_t i = 0; i < nodes.size();) {
            const TokenTreeNode &node = nodes[i];
            prefix.resize(lengths[node.level - 1]);
            std::string_view edge = tree_.edge_view(node);
            Dfa::Walk walk = dfa_.walk(states[node.level - 1], edge);
            if (walk.bytes == edge.size()) {
                prefix.append(edge);
                states[node.level] = walk.state;
                lengths[node.level] = prefix.size();
                if (node.ids_begin != node.ids_end) {
                    if (dfa_.can_continue(walk.state))
                        split->inside_ids.insert(split->inside_ids.end(), tree_.ids() + node.ids_begin,
                                                 tree_.ids() + node.ids_end);
                    else {
                        std::vector<unsigned int> &ending = exit_at(walk.state, prefix).ending_ids;
                        ending.insert(ending.end(), tree_.ids() + node.ids_begin, tree_.ids() + node.ids_end);
                    }
                }
                ++i;
                continue;
            }
            const size_t taken = prefix.size() + walk.bytes;
            const bool leaf_ends = dfa_.is_accepting(walk.state) && !(whole_tokens_ && dfa_.can_continue(walk.state));
            if (taken > 0 && leaf_ends)
                add_rests(i, prefix, std::string(edge.substr(0, walk.bytes)), walk.state);
            i = node.subtree_end;
        }
        // Many ids read faster as bits, OR-ed a word at a time.
        if (split->inside_ids.size() * 32 > tree_.id_bound()) {
            split->inside_bits = TokenBits(uint32_t(tree_.id_bound()));
            for (unsigned int id : split->inside_ids)
                split->inside_bits.set(id);
            split->inside_ids.clear();
            split->inside_ids.shrink_to_fit();
        }
        for (auto &[state, pending] : pending_) {
            LeafExit exit{state, std::move(pending.text), std::move(pending.ending_ids), nullptr};
            if (!pending.rests.empty()) {
                TokenTree::Entries entries(std::make_move_iterator(pending.rests.begin()),
                                           std::make_move_iterator(pending.rests.end()));
                exit.rests = std::make_unique<TokenTree>(entries);
            }
            split->exits.push_back(std::move(exit));
        }
        return split;
    }

private:
    struct PendingExit {
        std::string text;
        std::vector<unsigned int> ending_ids;
        std::map<std::string, std::vector<unsigned int>> rests;
    };

    PendingExit &exit_at(Dfa::State state, const std::string &text) {
        auto [found, added] = pending_.try_emplace(state);
        if (added)
            found->second.text = text;
        return found->second;
    }

    // Every key of the subtree of node `first` leaves the leaf after
    // prefix + taken_of_edge, with text left over (the cut lies inside the
    // node's edge); records that text under the exit.
    void add_rests(uint32_t first, const std::string &prefix, const std::string &taken_of_edge,
                   Dfa::State state) {
        const std::vector<TokenTreeNode> &nodes = tree_.nodes();
        const size_t cut = taken_of_edge.size();
        PendingExit &exit = exit_at(state, prefix + taken_of_edge);
        // Texts after the cut, per level.
        std::vector<std::string> after(tree_.levels() + 1);
        for (uint32_t j = first; j < nodes[first].subtree_end; ++j) {
            const TokenTreeNode &node = nodes[j];
            std::string_view edge = tree_.edge_view(node);
            if (j == first)
                after[node.level] = std::string(edge.substr(cut));
            else
                after[node.level] = after[node.level - 1] + std::string(edge);
            if (node.ids_begin == node.ids_end)
                continue;
            std::vector<unsigned int> &ids = exit.rests[after[node.level]];
            ids.insert(ids.end(), tree_.ids() + node.ids_begin, tree_.ids() + node.ids_end);
        }
    }

    const TokenTree &tree_;
    const Dfa &dfa_;
    bool whole_tokens_;
    std::map<Dfa::State, PendingExit> pending_;
};

} // namespace

std::shared_ptr<const LeafTokenSplit> split_tokens_at_leaf_state(const TokenTree &tree, const Dfa &dfa,
                                                                 Dfa::State state, bool whole_tokens) {
    return SplitBuilder(tree, dfa, whole_tokens).run(state);
}

} // namespace zel
