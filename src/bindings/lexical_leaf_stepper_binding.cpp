// zel_core.leaves.LexicalLeafStepper: the Steppers of native leaves. The
// methods a leaf answers itself are bound here again, so that Python calls
// reach the leaf's answers rather than the plain Stepper's.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/current_value.hpp"
#include "bindings/gc.hpp"
#include "bindings/leaves_registration.hpp"
#include "leaves/lexical_leaf.hpp"

namespace zel::bindings {

void bind_lexical_leaf_stepper(nb::module_ &leaves) {
    using Self = LexicalLeafStepper;
    nb::class_<Self, Stepper>(
        leaves, "LexicalLeafStepper",
        "A position inside a native leaf: a state of the leaf's automaton.",
        nb::intrusive_ptr<Self>([](Self *stepper, PyObject *self) noexcept { stepper->set_self_py(self); }),
        nb::type_slots(stepper_gc_slots), nb::is_final(), nb::is_weak_referenceable())
        .def_prop_ro(
            "dfa", [](Self &self) { return std::const_pointer_cast<Dfa>(self.shared_dfa()); },
            "The automaton of this Stepper's leaf")
        .def_prop_ro("dfa_state", &Self::dfa_state,
                     "The automaton state this Stepper stands in (Dfa.dead when none)")
        .def("clone", &Self::clone, "Create a copy of this stepper with the same state and history.")
        .def("consume", &Self::consume, nb::arg("token"), "Consume a token and advance the stepper.")
        .def("should_start_step", &Self::should_start_step, nb::arg("token"),
             "Determine if this stepper should begin processing the given token.")
        .def("can_accept_more_input", &Self::can_accept_more_input,
             "Check if the stepper can continue consuming tokens.")
        .def("has_reached_accept_state", &Self::has_reached_accept_state,
             "Check if the stepper has reached an accept state.")
        .def("accepts_any_token", &Self::accepts_any_token,
             "Check if this stepper accepts any token input.")
        .def("get_valid_continuations", &Self::get_valid_continuations,
             "Get the valid token continuations from the current state.")
        .def("get_invalid_continuations", &Self::get_invalid_continuations,
             "Get the invalid token continuations from the current state.")
        .def(
            "get_current_value",
            [](Self &self) { return current_value_to_python(self.get_current_value()); },
            "Get the current parsed value.");
}

} // namespace zel::bindings
