// Undoing advances: speculative decoding and serving frameworks draft tokens,
// then take some back. The Engine keeps the Stepper lists its last advances
// replaced (a bounded number, set by the caller) and puts one back.
#include "engine/engine.hpp"

#include <stdexcept>
#include <string>

namespace zel {

void Engine::set_rollback_limit(size_t limit) {
    std::deque<std::vector<StepperRef>> forgotten;
    while (rollback_history_.size() > limit) {
        forgotten.push_back(std::move(rollback_history_.front()));
        rollback_history_.pop_front();
    }
    rollback_limit_ = limit;
}

void Engine::rollback(size_t advances) {
    if (advances == 0)
        return;
    if (advances > rollback_history_.size())
        throw std::invalid_argument("cannot roll back " + std::to_string(advances) + " token(s): " +
                                    std::to_string(rollback_history_.size()) +
                                    " can be undone (max_rollback_tokens is " + std::to_string(rollback_limit_) +
                                    ")");
    // The entries after the restored one leave the Engine before they are
    // dropped: dropping them can run Python that looks at the Engine.
    std::deque<std::vector<StepperRef>> undone;
    std::vector<StepperRef> restored;
    for (size_t i = 0; i < advances; ++i) {
        restored = std::move(rollback_history_.back());
        rollback_history_.pop_back();
        undone.push_back(restored);
    }
    replace_steppers(std::move(restored));
}

} // namespace zel
