// The Engine's exact masks at the boundary: the caller's bitmask and score
// arrays checked and viewed in place, then filled by the native Engine.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <stdexcept>
#include <string>
#include <typeinfo>

#include "bindings/py_state_machine.hpp"
#include "bindings/registration.hpp"
#include "bindings/score_arrays.hpp"
#include "engine/engine.hpp"
#include "exact_mask/mask_writing.hpp"
#include "exact_mask/native_chain.hpp"

namespace nb = nanobind;

namespace zel::bindings {

namespace {

const char *const kFillDoc = R"doc(Fills one row of a packed bitmask with the tokens the grammar allows next.

A token is allowed exactly when the live steppers can consume its own text
(no healing, no learned multi-token sequence); control tokens are allowed
exactly when a stepper has reached an accept state, or when a grammar is set
and no stepper is left. A token whose text is empty is never allowed. With
no grammar and no steppers every token is allowed.

Args:
    bitmask: int32 array of shape (batch, ceil(vocab_size / 32)) in host
        memory, written in place: bit t % 32 of word t // 32 is set when
        token t is allowed. Rows may be wider than the vocabulary needs;
        ids beyond it are cleared.
    index: The row to fill, 0 <= index < batch.)doc";

const char *const kMaskScoresDoc = R"doc(Sets every token the grammar does not allow next to negative infinity.

Applies the same exact mask as fill_next_token_bitmask to a score array in
place: float16, float32, float64 and bfloat16 arrays (int8 arrays get -128),
one-dimensional (vocab_size) or two-dimensional (batch x vocab_size), with
any strides. Every row gets the same mask.

Args:
    scores: Logit scores, modified in place

Returns:
    The same array)doc";

// Python subclasses of StateMachine that override no traversal operation
// (the JSON kit's containers) traverse natively.
bool traverses_natively(StateMachine &machine) {
    if (typeid(machine) == typeid(StateMachine))
        return true;
    if (auto *subclass = dynamic_cast<PyStateMachine *>(&machine))
        return !subclass->overrides_traversal();
    return false;
}

void check_interrupt() {
    if (PyErr_CheckSignals() != 0)
        throw nb::python_error();
}

void fill_next_token_bitmask(Engine &engine, nb::handle bitmask, int64_t index) {
    ScoreArrayArgument argument = view_score_array(bitmask, "bitmask");
    ScoreArray &view = argument.view;
    if (view.code != uint8_t(ElementCode::SignedInteger) || view.bits != 32 || view.lanes != 1)
        throw nb::type_error("bitmask must be an array of int32 words");
    if (view.ndim() != 2)
        throw std::invalid_argument("bitmask must be two-dimensional (batch, ceil(vocab_size / 32)), got " +
                                    std::to_string(view.ndim()) + " dimension(s)");
    const int64_t words = view.shape[1];
    const uint64_t needed = (engine.exact_mask_id_bound() + 31) / 32;
    if (words < 0 || uint64_t(words) < needed)
        throw std::invalid_argument("bitmask rows hold " + std::to_string(words) + " words; the vocabulary needs " +
                                    std::to_string(needed));
    if (words > int64_t(INT32_MAX / 32) + 1)
        throw std::invalid_argument("bitmask rows hold more words than any vocabulary needs");
    if (index < 0 || index >= view.shape[0])
        throw std::out_of_range("index " + std::to_string(index) + " is out of range for a bitmask of " +
                                std::to_string(view.shape[0]) + " row(s)");
    const uint32_t size = uint32_t(std::min<int64_t>(words * 32, INT32_MAX));
    TokenBits allowed = engine.compute_exact_token_mask(size, check_interrupt);
    int32_t *row = static_cast<int32_t *>(view.data) + index * view.strides[0];
    write_bitmask_row(row, view.strides[1], words, allowed);
}

nb::object mask_scores_exactly(Engine &engine, nb::handle scores) {
    ScoreArrayArgument argument = view_score_array(scores, "scores");
    ScoreArray &view = argument.view;
    if (view.ndim() != 1 && view.ndim() != 2)
        throw std::invalid_argument("scores must be one-dimensional (vocab_size) or two-dimensional "
                                    "(batch x vocab_size), got " + std::to_string(view.ndim()) + " dimension(s)");
    if (!can_mask_scores(view))
        throw nb::type_error("scores must hold float16, float32, float64, bfloat16 or int8 numbers");
    const int64_t columns = view.shape.back();
    if (columns > int64_t(INT32_MAX))
        throw std::invalid_argument("scores has more columns than a vocabulary can have");
    TokenBits allowed = engine.compute_exact_token_mask(uint32_t(columns), check_interrupt);
    block_disallowed_scores(view, allowed);
    return nb::borrow(scores);
}

} // namespace

void bind_exact_masks(nb::class_<Engine> &engine_class) {
    set_native_traversal_test(&traverses_natively);
    engine_class
        .def("fill_next_token_bitmask", &fill_next_token_bitmask, nb::arg("bitmask"), nb::arg("index") = 0,
             nb::sig("def fill_next_token_bitmask(self, bitmask: numpy.typing.NDArray[numpy.int32], "
                     "index: int = 0) -> None"),
             kFillDoc)
        .def("mask_scores_exactly", &mask_scores_exactly, nb::arg("scores"),
             nb::sig("def mask_scores_exactly(self, scores: numpy.typing.NDArray) -> numpy.typing.NDArray"),
             kMaskScoresDoc);
}

} // namespace zel::bindings
