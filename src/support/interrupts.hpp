// Long native loops (spelling a long text, walking a big grammar) notice
// Ctrl-C while they run: now and then they ask the host whether an interrupt
// is pending, and the host answers with an exception of its own (Python's
// KeyboardInterrupt), which leaves the operation as any other failure does.
#pragma once

namespace zel {

// Throws when the host has an interrupt pending; installed by the host.
using InterruptCheck = void (*)();
void set_interrupt_check(InterruptCheck check);

// Runs the installed check on every 1024th call on the calling thread: cheap
// enough for the inner loops that call it.
void check_for_interrupt();

} // namespace zel
