// Guards the recursive walks of a grammar (nesting, sub-Stepper chains)
// against exhausting the thread's stack: a grammar nested too deeply is an
// error, not a crash.
#pragma once

namespace zel {

// Throws std::runtime_error when less than a safety margin of the calling
// thread's stack is left.
void ensure_stack_room();

} // namespace zel
