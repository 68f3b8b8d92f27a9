#include "engine/score_array.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace zel {

namespace {

constexpr const char *kUnsupportedDtype = "Unsupported tensor dtype for masking";

enum class Kind { Float32, Float16, Bfloat16Bits, Int8, Unsupported };

Kind kind_of(const ScoreArray &array) {
    if (array.lanes != 1)
        return Kind::Unsupported;
    auto code = static_cast<ElementCode>(array.code);
    if (code == ElementCode::Float && array.bits == 32)
        return Kind::Float32;
    if (code == ElementCode::Float && array.bits == 16)
        return Kind::Float16;
    if (code == ElementCode::UnsignedInteger && array.bits == 16)
        return Kind::Bfloat16Bits;
    if (code == ElementCode::SignedInteger && array.bits == 8)
        return Kind::Int8;
    return Kind::Unsupported;
}

uint32_t float_bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float bits_to_float(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <typename T> T load(const void *address) {
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

template <typename T> void store(void *address, T value) { std::memcpy(address, &value, sizeof value); }

int8_t float_to_int8(float value) {
    if (std::isnan(value))
        return 0;
    float truncated = std::trunc(value);
    if (truncated <= -128.0f)
        return -128;
    if (truncated >= 127.0f)
        return 127;
    return static_cast<int8_t>(truncated);
}

} // namespace

float half_to_float(uint16_t half) {
    uint32_t sign = uint32_t(half & 0x8000u) << 16;
    uint32_t exponent = (half >> 10) & 0x1Fu;
    uint32_t mantissa = half & 0x3FFu;
    if (exponent == 0x1F)
        return bits_to_float(sign | 0x7F800000u | (mantissa << 13));
    if (exponent != 0)
        return bits_to_float(sign | ((exponent + 112) << 23) | (mantissa << 13));
    if (mantissa == 0)
        return bits_to_float(sign);
    // Subnormal half: normalise into single precision.
    int shift = 0;
    while (!(mantissa & 0x400u)) {
        mantissa <<= 1;
        ++shift;
    }
    mantissa &= 0x3FFu;
    return bits_to_float(sign | (uint32_t(113 - shift) << 23) | (mantissa << 13));
}

uint16_t float_to_half(float value) {
    uint32_t bits = float_bits(value);
    uint16_t sign = uint16_t((bits >> 16) & 0x8000u);
    uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u)
        return sign | 0x7E00u;
    if (magnitude >= 0x47800000u) // 65536 and up, infinity included
        return sign | 0x7C00u;
    if (magnitude < 0x33000000u) // below half the smallest subnormal
        return sign;
    int32_t exponent = int32_t(magnitude >> 23) - 127;
    uint32_t mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    // Normal halves keep 10 fraction bits; subnormals fewer.
    int shift = exponent >= -14 ? 13 : 13 + (-14 - exponent);
    uint32_t kept = mantissa >> shift;
    uint32_t dropped = mantissa & ((1u << shift) - 1);
    uint32_t halfway = 1u << (shift - 1);
    if (dropped > halfway || (dropped == halfway && (kept & 1u)))
        ++kept;
    uint32_t result;
    if (exponent >= -14)
        // kept holds the implicit bit; a carry out of the fraction moves into
        // the exponent, which is what rounding up to the next binade means.
        result = (uint32_t(exponent + 15) << 10) + (kept - 0x400u);
    else
        result = kept;
    return uint16_t(sign | result);
}

float bfloat16_to_float(uint16_t bits) { return bits_to_float(uint32_t(bits) << 16); }

uint16_t float_to_bfloat16(float value) {
    uint32_t bits = float_bits(value);
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u)
        return (bits & 0x80000000u) ? 0xFFC0u : 0x7FC0u;
    uint32_t rounding = 0x7FFFu + ((bits >> 16) & 1u);
    return uint16_t((bits + rounding) >> 16);
}

bool ScoreArray::is_supported() const { return kind_of(*this) != Kind::Unsupported; }

void *ScoreArray::address(int64_t row, int64_t column) const {
    int64_t offset = (row * strides[0] + column * strides[1]) * int64_t(bits / 8);
    return static_cast<char *>(data) + offset;
}

void ScoreArray::block(int64_t row, int64_t column) {
    switch (kind_of(*this)) {
    case Kind::Float32:
        store(address(row, column), -std::numeric_limits<float>::infinity());
        return;
    case Kind::Float16:
        store<uint16_t>(address(row, column), 0xFC00u);
        return;
    case Kind::Bfloat16Bits:
        store<uint16_t>(address(row, column), 0xFF80u);
        return;
    case Kind::Int8:
        store<int8_t>(address(row, column), -128);
        return;
    case Kind::Unsupported:
        break;
    }
    throw std::runtime_error(kUnsupportedDtype);
}

namespace {

template <typename T>
void store_columns(char *row_start, int64_t column_stride, const std::vector<uint32_t> &columns, T value) {
    for (uint32_t column : columns)
        store(row_start + int64_t(column) * column_stride, value);
}

} // namespace

void ScoreArray::block_columns(int64_t row, const std::vector<uint32_t> &columns) {
    char *row_start = static_cast<char *>(address(row, 0));
    const int64_t column_stride = strides[1] * int64_t(bits / 8);
    switch (kind_of(*this)) {
    case Kind::Float32:
        return store_columns(row_start, column_stride, columns, -std::numeric_limits<float>::infinity());
    case Kind::Float16:
        return store_columns<uint16_t>(row_start, column_stride, columns, 0xFC00u);
    case Kind::Bfloat16Bits:
        return store_columns<uint16_t>(row_start, column_stride, columns, 0xFF80u);
    case Kind::Int8:
        return store_columns<int8_t>(row_start, column_stride, columns, -128);
    case Kind::Unsupported:
        break;
    }
    throw std::runtime_error(kUnsupportedDtype);
}

float ScoreArray::read(int64_t row, int64_t column) const {
    switch (kind_of(*this)) {
    case Kind::Float32:
        return load<float>(address(row, column));
    case Kind::Float16:
        return half_to_float(load<uint16_t>(address(row, column)));
    case Kind::Bfloat16Bits:
        return bfloat16_to_float(load<uint16_t>(address(row, column)));
    case Kind::Int8:
        return float(load<int8_t>(address(row, column)));
    case Kind::Unsupported:
        break;
    }
    throw std::runtime_error(kUnsupportedDtype);
}

void ScoreArray::write(int64_t row, int64_t column, float score) {
    switch (kind_of(*this)) {
    case Kind::Float32:
        store(address(row, column), score);
        return;
    case Kind::Float16:
        store(address(row, column), float_to_half(score));
        return;
    case Kind::Bfloat16Bits:
        store(address(row, column), float_to_bfloat16(score));
        return;
    case Kind::Int8:
        store(address(row, column), float_to_int8(score));
        return;
    case Kind::Unsupported:
        break;
    }
    throw std::runtime_error(kUnsupportedDtype);
}

} // namespace zel
