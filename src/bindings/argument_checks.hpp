// Checks of converted arguments that the type casters let through (None
// converts to an empty shared reference, which no grammar operation
// accepts), and the answer to arguments of other types.
#pragma once

#include <vector>

#include <nanobind/nanobind.h>

#include "grammar/stepper.hpp"

namespace zel::bindings {

inline std::vector<StepperRef> checked_steppers(std::vector<StepperRef> steppers) {
    for (const StepperRef &stepper : steppers)
        if (!stepper)
            throw nanobind::type_error("expected Stepper objects, not None");
    return steppers;
}

// The second overload of __eq__: an object of another type is not equal,
// so the comparison leaves the answer to Python (which says False) instead
// of failing.
inline nanobind::object not_comparable(nanobind::handle, nanobind::handle) {
    return nanobind::borrow(Py_NotImplemented);
}
inline constexpr const char *kNotComparableDoc = "Objects of other types are not equal (NotImplemented).";

} // namespace zel::bindings
