// What a native lexical leaf decides about every token on its own, from one
// state of its automaton: the split the mask of a Stepper inside that leaf
// needs. Computed once per (token tree, automaton, state, whole-token mode)
// by a walk of the tree along the automaton, then reused by every mask. The
// tree is the vocabulary's, or the tree of the texts left over after an
// earlier leaf ended inside the tokens.
//
// From state s a token's walk along the automaton either
//  - stays alive to the token's end in a state that can go on: the leaf
//    takes the token and stays open, so the Stepper walking it survives
//    (inside: allowed on their own);
//  - stops before its first character, or in a state that does not accept
//    (or, for whole-token leaves, in one that could have gone on): the leaf
//    refuses it (refused on their own);
//  - ends the leaf in an accepting state q, at the token's end or before it:
//    what follows depends on the grammar around the leaf. These tokens are
//    grouped by q, with the text left after the leaf ("rest", empty when the
//    leaf ends with the token); the mask checks each group's rests against
//    the Steppers that follow the leaf.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/token_set.hpp"
#include "exact_mask/token_tree.hpp"
#include "leaves/dfa.hpp"

namespace zel {

struct LeafExit {
    Dfa::State state;
    // A text taking the automaton from the split's state to `state`, whole:
    // the start of one of the group's tokens.
    std::string text_to_state;
    // Tokens whose text ends the leaf exactly.
    std::vector<unsigned int> ending_ids;
    // The rests of the other tokens, as a tree of their own; its ids are
    // the tokens' ids.
    std::unique_ptr<TokenTree> rests;
};

struct LeafTokenSplit {
    // The inside tokens: as bits when they are many, else as a list (and
    // the bits empty).
    TokenBits inside_bits{0};
    std::vector<unsigned int> inside_ids;
    std::vector<LeafExit> exits;
};

std::shared_ptr<const LeafTokenSplit> split_tokens_at_leaf_state(const TokenTree &tree, const Dfa &dfa,
                                                                 Dfa::State state, bool whole_tokens);

} // namespace zel
