// Whether a Stepper's behaviour on a token is decided by the native lexical
// leaf at the bottom of its chain of sub-Steppers: every Stepper above the
// leaf is a plain native Stepper on a machine whose traversal is the native
// one, so a token the leaf takes and stays open after keeps the Stepper
// alive, and a token the leaf refuses without ending kills it.
#pragma once

#include "grammar/state_machine.hpp"
#include "leaves/lexical_leaf.hpp"

namespace zel {

// The leaf Stepper at the bottom of such a chain (the Stepper itself when it
// is a leaf Stepper), or null.
LexicalLeafStepper *native_leaf_of(Stepper &stepper);

// Whether a machine's traversal is native. By default only plain
// StateMachines are; the binding layer adds host subclasses that override
// none of the traversal operations.
using TraversalTest = bool (*)(StateMachine &machine);
void set_native_traversal_test(TraversalTest test);

} // namespace zel
