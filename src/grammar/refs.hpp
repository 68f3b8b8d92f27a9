// Shared references between grammar objects. StateMachine and Stepper carry
// one intrusive count that native code and Python share, so a native object
// and its Python object are one thing.
#pragma once

#include <nanobind/intrusive/counter.h>
#include <nanobind/intrusive/ref.h>

namespace zel {

template <typename T> using Ref = nanobind::ref<T>;

class StateMachine;
class Stepper;

using StateMachineRef = Ref<StateMachine>;
using StepperRef = Ref<Stepper>;

} // namespace zel
