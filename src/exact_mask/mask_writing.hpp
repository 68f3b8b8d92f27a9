// Writing an exact mask out: as rows of a packed int32 bitmask (bit t % 32
// of word t / 32 set means token t is allowed, the form serving frameworks
// apply on the GPU), and into score arrays of any floating-point type, where
// every disallowed entry becomes negative infinity.
#pragma once

#include <cstdint>

#include "engine/score_array.hpp"
#include "engine/token_set.hpp"

namespace zel {

// Writes `words` int32 words starting at `row`, `stride` elements apart;
// ids at or beyond allowed.size() read as disallowed.
void write_bitmask_row(int32_t *row, int64_t stride, int64_t words, const TokenBits &allowed);

// Whether block_disallowed_scores handles the element type: floats of 16,
// 32 and 64 bits, bfloat16 (and uint16 holding bfloat16 patterns) and int8
// (blocked at -128).
bool can_mask_scores(const ScoreArray &scores);

// Blocks, in every row of a one- or two-dimensional array (a single row for
// one dimension), the columns whose bit in `allowed` is clear. The array's
// last dimension must equal allowed.size().
void block_disallowed_scores(ScoreArray &scores, const TokenBits &allowed);

} // namespace zel
