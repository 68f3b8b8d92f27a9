// State identifiers: a state is named by a signed 32-bit integer or by a
// UTF-8 string, and the integer 1 and the string "1" are different states.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace zel {

// Integers order before strings; integers compare as signed values and
// strings bytewise (std::char_traits<char> compares as unsigned char).
using StateId = std::variant<int32_t, std::string>;

// Decimal text of an integer state, or the string itself.
std::string state_text(const StateId &state);

} // namespace zel
