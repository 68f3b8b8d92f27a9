#include "grammar/state_id.hpp"

namespace zel {

std::string state_text(const StateId &state) {
    if (const auto *number = std::get_if<int32_t>(&state))
        return std::to_string(*number);
    return std::get<std::string>(state);
}

} // namespace zel
