#include "support/nested_release.hpp"

#include <vector>

namespace zel {

namespace {

// Nested destructions released directly before references are queued.
constexpr int kDirectDepth = 128;

struct ReleaseState {
    int depth = 0;
    bool draining = false;
    std::vector<nanobind::ref<nanobind::intrusive_base>> queue;
};

ReleaseState &state() {
    thread_local ReleaseState release_state;
    return release_state;
}

} // namespace

NestedRelease::NestedRelease() { ++state().depth; }

NestedRelease::~NestedRelease() {
    ReleaseState &current = state();
    if (--current.depth != 0 || current.draining)
        return;
    current.draining = true;
    while (!current.queue.empty()) {
        nanobind::ref<nanobind::intrusive_base> next = std::move(current.queue.back());
        current.queue.pop_back();
        // Destructors run here at depth one and may queue more.
    }
    current.draining = false;
}

bool NestedRelease::too_deep() { return state().depth > kDirectDepth; }

void NestedRelease::enqueue(nanobind::intrusive_base *object) { state().queue.emplace_back(object); }

} // namespace zel
