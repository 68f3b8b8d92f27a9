// Registration of the module's classes, in the order the module body runs.
#pragma once

#include <nanobind/nanobind.h>

namespace zel {
class Engine;
}

namespace zel::bindings {

void install_reference_hooks();
void install_interrupt_check();
void bind_state_machine(nanobind::module_ &module);
void bind_stepper(nanobind::module_ &module);
void bind_engine(nanobind::module_ &module);
// The exact-mask methods of Engine, added by bind_engine.
void bind_exact_masks(nanobind::class_<Engine> &engine_class);
// Engine.rollback and its limit, added by bind_engine.
void bind_engine_rollback(nanobind::class_<Engine> &engine_class);
void bind_trie_map(nanobind::module_ &module);
void bind_stepper_delta(nanobind::module_ &module);
// The private zel_core._score_conversions submodule, bound last.
void bind_score_conversions(nanobind::module_ &module);

} // namespace zel::bindings
