#include "exact_mask/token_walk.hpp"

#include "paths/batch_advance.hpp"

namespace zel {

namespace {

// Nodes between two interrupt checks.
constexpr uint32_t kCheckInterval = 1024;

} // namespace

std::vector<StepperRef> advance_whole(const std::vector<StepperRef> &steppers, const std::string &text) {
    std::vector<StepperRef> advanced;
    for (StepperDelta &delta : advance_all(steppers, text, nullptr, false).release())
        advanced.push_back(std::move(delta.stepper));
    return advanced;
}

void allow_consumable_tokens(const TokenTree &tree, const std::vector<StepperRef> &steppers,
                             TokenBits &allowed, const InterruptCheck &interrupt_check) {
    if (steppers.empty())
        return;
    const std::vector<TokenTreeNode> &nodes = tree.nodes();
    // after[level] holds the Steppers after the prefix of the last node
    // visited at that level; the root's are the live ones.
    std::vector<std::vector<StepperRef>> after(tree.levels() + 1);
    after[0] = steppers;
    uint32_t until_check = kCheckInterval;
    for (uint32_t i = 0; i < nodes.size();) {
        if (--until_check == 0) {
            until_check = kCheckInterval;
            if (interrupt_check)
                interrupt_check();
        }
        const TokenTreeNode &node = nodes[i];
        std::vector<StepperRef> advanced = advance_whole(after[node.level - 1], tree.edge(node));
        if (advanced.empty()) {
            i = node.subtree_end;
            continue;
        }
        after[node.level] = std::move(advanced);
        for (uint32_t k = node.ids_begin; k < node.ids_end; ++k)
            if (tree.ids()[k] < allowed.size())
                allowed.set(tree.ids()[k]);
        ++i;
    }
}

} // namespace zel
