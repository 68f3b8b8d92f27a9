// Registration of the zel_core.leaves submodule's classes: native lexical
// leaves and their automata.
#pragma once

#include <nanobind/nanobind.h>

namespace zel::bindings {

namespace nb = nanobind;

void bind_leaves(nb::module_ &module);
void bind_dfa(nb::module_ &leaves);
void bind_lexical_leaf(nb::module_ &leaves);
void bind_lexical_leaf_stepper(nb::module_ &leaves);

} // namespace zel::bindings
