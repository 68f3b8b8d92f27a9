// The zel_core.leaves submodule: machines that read text natively, beside
// (and mixed freely with) leaves written in Python.
#include "bindings/leaves_registration.hpp"

namespace zel::bindings {

namespace {

const char *const kLeavesDoc = R"doc(
        Native lexical leaves: StateMachine subclasses whose Steppers read
        text without calling Python, by walking a deterministic automaton
        over code points compiled once when the leaf is made.

        - Literal(text): one fixed text
        - CharacterClass(characters, min_length=1, max_length=None)
        - Regex(pattern): a regular expression of a practical subset (see
          Regex)
        - LexicalLeafStepper: their Steppers; Dfa: their automata

        They go wherever a StateMachine may: as edges of any machine, beside
        Python leaves.
    )doc";

} // namespace

void bind_leaves(nb::module_ &module) {
    nb::module_ leaves = module.def_submodule("leaves", kLeavesDoc);
    bind_dfa(leaves);
    bind_lexical_leaf(leaves);
    bind_lexical_leaf_stepper(leaves);
    // `import zel_core.leaves` finds the submodule of this one-file module.
    nb::module_::import_("sys").attr("modules")["zel_core.leaves"] = leaves;
}

} // namespace zel::bindings
