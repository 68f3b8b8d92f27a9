// Checks of converted arguments that the type casters let through: None
// converts to an empty shared reference, which no grammar operation accepts.
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

} // namespace zel::bindings
