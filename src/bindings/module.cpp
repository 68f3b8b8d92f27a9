// The zel_core extension module: its documentation and the registration of
// its five classes.
#include "bindings/leaves_registration.hpp"
#include "bindings/registration.hpp"

namespace {

const char *const kModuleDoc = R"doc(
        ZEL Core: State Machine Grammar Constraints for Language Models
        ---------------------------------------------------------------

        This module provides the core classes for defining and traversing
        grammar-based constraints for language model token generation.
        The system implements a non-deterministic state machine approach that
        allows efficient exploration of multiple valid paths.

        Key components:
        - StateMachine: Defines grammar rules through state transitions
        - Stepper: Represents a position in a state machine with traversal methods
        - StepperDelta: Represents state changes after token consumption
        - Engine: Orchestrates token processing and logit modification
        - TrieMap: Efficient string-to-value mapping for tokenization

        .. currentmodule:: zel_core

        .. autosummary::
           :toctree: _generate

           StateMachine
           Stepper
           StepperDelta
           Engine
           TrieMap
    )doc";

} // namespace

NB_MODULE(zel_core, module) {
    module.doc() = kModuleDoc;
    zel::bindings::install_reference_hooks();
    zel::bindings::install_interrupt_check();
    zel::bindings::bind_state_machine(module);
    zel::bindings::bind_stepper(module);
    zel::bindings::bind_engine(module);
    zel::bindings::bind_trie_map(module);
    zel::bindings::bind_stepper_delta(module);
    zel::bindings::bind_leaves(module);
    zel::bindings::bind_score_conversions(module);
}
