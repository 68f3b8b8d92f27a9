#include "exact_mask/token_walk.hpp"

#include "leaves/lexical_leaf.hpp"
#include "paths/batch_advance.hpp"

namespace zel {

namespace {

// Nodes between two interrupt checks.
constexpr uint32_t kCheckInterval = 1024;
constexpr int kDeepestChain = 4096;

// Whether a Stepper's chain ends in a whole-token leaf that has accepted and
// could still go on. Such a leaf takes a token whole or ends on the way, so
// a token cut in two at this point may be taken in pieces (the leaf ends
// here, what follows takes the rest) where consuming it whole is refused:
// the tokens below such a prefix are confirmed by consuming them whole.
bool cuts_whole_token_leaf(Stepper &stepper) {
    StepperRef current(&stepper);
    for (int depth = 0; depth < kDeepestChain; ++depth) {
        StepperRef sub = current->get_sub_stepper();
        if (!sub)
            break;
        current = std::move(sub);
    }
    auto *leaf = dynamic_cast<LexicalLeafStepper *>(current.get());
    if (!leaf)
        return false;
    auto *machine = dynamic_cast<LexicalLeaf *>(leaf->get_state_machine().get());
    Dfa::State state = leaf->dfa_state();
    return machine && machine->whole_tokens() && leaf->dfa().is_accepting(state) && leaf->dfa().can_continue(state);
}

bool cuts_whole_token_leaf(const std::vector<StepperRef> &steppers) {
    for (const StepperRef &stepper : steppers)
        if (cuts_whole_token_leaf(const_cast<Stepper &>(*stepper)))
            return true;
    return false;
}

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
    // visited at that level; the root's are the live ones. confirm[level]:
    // a whole-token leaf was cut on the way to that prefix.
    const size_t levels = tree.levels() + 1;
    std::vector<std::vector<StepperRef>> after(levels);
    std::vector<char> confirm(levels, 0);
    std::vector<size_t> lengths(levels, 0);
    std::string prefix;
    after[0] = steppers;
    confirm[0] = cuts_whole_token_leaf(steppers);
    uint32_t until_check = kCheckInterval;
    for (uint32_t i = 0; i < nodes.size();) {
        if (--until_check == 0) {
            until_check = kCheckInterval;
            if (interrupt_check)
                interrupt_check();
        }
        const TokenTreeNode &node = nodes[i];
        prefix.resize(lengths[node.level - 1]);
        prefix.append(tree.edge_view(node));
        lengths[node.level] = prefix.size();
        std::vector<StepperRef> advanced = advance_whole(after[node.level - 1], tree.edge(node));
        if (advanced.empty()) {
            i = node.subtree_end;
            continue;
        }
        const bool suspect = confirm[node.level - 1];
        if (node.ids_begin != node.ids_end && (!suspect || !advance_whole(steppers, prefix).empty()))
            for (uint32_t k = node.ids_begin; k < node.ids_end; ++k)
                if (tree.ids()[k] < allowed.size())
                    allowed.set(tree.ids()[k]);
        confirm[node.level] = suspect || cuts_whole_token_leaf(advanced);
        after[node.level] = std::move(advanced);
        ++i;
    }
}

} // namespace zel
