// Dropping the last reference to a grammar object drops the references it
// holds in turn, through the host's deallocation and back; on a chain of a
// hundred thousand nested machines or Steppers that recursion would exhaust
// the stack. Destructors release their references through a NestedRelease:
// up to a modest depth they are dropped at once, deeper ones are queued and
// dropped one at a time by the outermost destructor on the thread.
#pragma once

#include <nanobind/intrusive/counter.h>
#include <nanobind/intrusive/ref.h>

namespace zel {

class NestedRelease {
public:
    NestedRelease();
    ~NestedRelease();
    NestedRelease(const NestedRelease &) = delete;
    NestedRelease &operator=(const NestedRelease &) = delete;

    // Empties `reference`, now or later.
    template <typename T> void release(nanobind::ref<T> &reference) {
        if (!reference)
            return;
        if (too_deep())
            enqueue(reference.get());
        reference = nanobind::ref<T>();
    }

private:
    static bool too_deep();
    // Takes a reference of its own to `object` until the queue drops it.
    static void enqueue(nanobind::intrusive_base *object);
};

} // namespace zel
