#include "exact_mask/mask_writing.hpp"

#include <cstring>
#include <limits>

namespace zel {

namespace {

enum class Blocker { Float64, Float32, Half, Bfloat16, Int8, None };

Blocker blocker_of(const ScoreArray &scores) {
    if (scores.lanes != 1)
        return Blocker::None;
    switch (static_cast<ElementCode>(scores.code)) {
    case ElementCode::Float:
        if (scores.bits == 64)
            return Blocker::Float64;
        if (scores.bits == 32)
            return Blocker::Float32;
        if (scores.bits == 16)
            return Blocker::Half;
        return Blocker::None;
    case ElementCode::Bfloat:
    case ElementCode::UnsignedInteger:
        return scores.bits == 16 ? Blocker::Bfloat16 : Blocker::None;
    case ElementCode::SignedInteger:
        return scores.bits == 8 ? Blocker::Int8 : Blocker::None;
    }
    return Blocker::None;
}

template <typename T>
void block_row(char *row, int64_t stride_bytes, const TokenBits &allowed, T blocked) {
    allowed.for_each_clear([&](uint32_t column) {
        std::memcpy(row + int64_t(column) * stride_bytes, &blocked, sizeof blocked);
    });
}

} // namespace

void write_bitmask_row(int32_t *row, int64_t stride, int64_t words, const TokenBits &allowed) {
    const std::vector<uint64_t> &bits = allowed.words();
    for (int64_t word = 0; word < words; ++word) {
        size_t wide = size_t(word) / 2;
        uint64_t value = wide < bits.size() ? bits[wide] : 0;
        uint32_t half = uint32_t(word % 2 ? value >> 32 : value);
        int32_t stored;
        std::memcpy(&stored, &half, sizeof stored);
        row[word * stride] = stored;
    }
}

bool can_mask_scores(const ScoreArray &scores) { return blocker_of(scores) != Blocker::None; }

void block_disallowed_scores(ScoreArray &scores, const TokenBits &allowed) {
    const bool single_row = scores.ndim() == 1;
    const int64_t rows = single_row ? 1 : scores.shape[0];
    const int64_t row_stride = single_row ? 0 : scores.strides[0];
    const int64_t column_stride = scores.strides[single_row ? 0 : 1];
    const int64_t size = scores.bits / 8;
    char *base = static_cast<char *>(scores.data);
    for (int64_t r = 0; r < rows; ++r) {
        char *row = base + r * row_stride * size;
        const int64_t step = column_stride * size;
        switch (blocker_of(scores)) {
        case Blocker::Float64:
            block_row(row, step, allowed, -std::numeric_limits<double>::infinity());
            break;
        case Blocker::Float32:
            block_row(row, step, allowed, -std::numeric_limits<float>::infinity());
            break;
        case Blocker::Half:
            block_row(row, step, allowed, uint16_t(0xFC00));
            break;
        case Blocker::Bfloat16:
            block_row(row, step, allowed, uint16_t(0xFF80));
            break;
        case Blocker::Int8:
            block_row(row, step, allowed, int8_t(-128));
            break;
        case Blocker::None:
            return;
        }
    }
}

} // namespace zel
