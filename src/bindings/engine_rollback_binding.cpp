// Engine rollback at the boundary: the limit as a property, rollback() as a
// method; the work is done by the native Engine.
#include <nanobind/nanobind.h>

#include "bindings/registration.hpp"
#include "engine/engine.hpp"

namespace nb = nanobind;

namespace zel::bindings {

namespace {

const char *const kRollbackDoc = R"doc(Undoes the last advances: consumed or selected tokens.

The Engine keeps the steppers from before each of its last
max_rollback_tokens advances (each consume, consume_text or successful
select_next_tokens is one advance: one token in a loop that consumes the
tokens it samples). reset() and assigning steppers forget them.

Args:
    num_tokens: How many advances to undo, at most rollback_depth

Raises:
    ValueError: When fewer advances are kept; nothing changes then)doc";

} // namespace

void bind_engine_rollback(nb::class_<Engine> &engine_class) {
    engine_class
        .def_prop_rw("max_rollback_tokens", &Engine::rollback_limit, &Engine::set_rollback_limit,
                     "How many advances rollback() can undo; lowering it forgets the oldest")
        .def_prop_ro("rollback_depth", &Engine::rollback_depth, "How many advances rollback() can undo now")
        .def("rollback", &Engine::rollback, nb::arg("num_tokens") = 1, kRollbackDoc);
}

} // namespace zel::bindings
