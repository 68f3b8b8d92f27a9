#include "exact_mask/native_chain.hpp"

#include <typeinfo>

namespace zel {

namespace {

bool is_plain_machine(StateMachine &machine) { return typeid(machine) == typeid(StateMachine); }

TraversalTest traversal_test = &is_plain_machine;

// Deeper chains than this are left to the generic walk.
constexpr int kDeepestChain = 4096;

} // namespace

void set_native_traversal_test(TraversalTest test) { traversal_test = test ? test : &is_plain_machine; }

LexicalLeafStepper *native_leaf_of(Stepper &stepper) {
    Stepper *current = &stepper;
    for (int depth = 0; depth < kDeepestChain; ++depth) {
        if (auto *leaf = dynamic_cast<LexicalLeafStepper *>(current))
            return dynamic_cast<LexicalLeaf *>(leaf->get_state_machine().get()) ? leaf : nullptr;
        if (typeid(*current) != typeid(Stepper))
            return nullptr;
        StateMachineRef machine = current->get_state_machine();
        if (!machine || !traversal_test(*machine))
            return nullptr;
        StepperRef sub = current->get_sub_stepper();
        if (!sub)
            return nullptr;
        current = sub.get();
    }
    return nullptr;
}

} // namespace zel
