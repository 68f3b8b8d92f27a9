// Ctrl-C during long native loops: the check they run asks the interpreter
// for pending signals and raises what their handlers raise
// (KeyboardInterrupt for SIGINT).
#include <nanobind/nanobind.h>

#include "bindings/registration.hpp"
#include "support/interrupts.hpp"

namespace zel::bindings {

namespace {

void check_python_signals() {
    nanobind::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0)
        throw nanobind::python_error();
}

} // namespace

void install_interrupt_check() { set_interrupt_check(&check_python_signals); }

} // namespace zel::bindings
