#include "support/interrupts.hpp"

#include <atomic>
#include <cstdint>

namespace zel {

namespace {

constexpr uint32_t kCallsBetweenChecks = 1024;

std::atomic<InterruptCheck> installed_check{nullptr};

} // namespace

void set_interrupt_check(InterruptCheck check) { installed_check.store(check, std::memory_order_release); }

void check_for_interrupt() {
    thread_local uint32_t calls = 0;
    if (++calls % kCallsBetweenChecks != 0)
        return;
    if (InterruptCheck check = installed_check.load(std::memory_order_acquire))
        check();
}

} // namespace zel
