#include "support/stack_guard.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace zel {

namespace {

// Room kept free for the frames of whatever runs after the check (Python
// calls included): this much, or a quarter of a smaller thread's stack.
constexpr size_t kSafetyMargin = 512 * 1024;

// Lowest usable stack address of the calling thread, or 0 when unknown.
uintptr_t find_stack_limit() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return 0;
    void *low = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (failed || !low)
        return 0;
    size_t margin = size / 4 < kSafetyMargin ? size / 4 : kSafetyMargin;
    return reinterpret_cast<uintptr_t>(low) + margin;
}

} // namespace

void ensure_stack_room() {
    thread_local uintptr_t limit = find_stack_limit();
    char marker;
    uintptr_t here = reinterpret_cast<uintptr_t>(&marker);
    if (limit && here < limit)
        throw std::runtime_error("grammar nested too deeply: the stack is exhausted");
}

} // namespace zel
