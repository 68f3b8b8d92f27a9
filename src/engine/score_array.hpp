// A caller's score array as the Engine sees it: a strided view of memory
// that belongs to the caller, with the element conversions that masking and
// selection need. Nothing is copied; the binding layer fills in the view and
// keeps the caller's object alive for the duration of a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zel {

// Element type codes, as DLPack numbers them.
enum class ElementCode : uint8_t { SignedInteger = 0, UnsignedInteger = 1, Float = 2, Bfloat = 4 };

struct ScoreArray {
    // Address of the first element (the view's byte offset already applied).
    void *data = nullptr;
    uint8_t code = 0;
    uint8_t bits = 0;
    uint16_t lanes = 1;
    std::vector<int64_t> shape;
    // Counted in elements, not bytes.
    std::vector<int64_t> strides;

    // Takes the view again: called after Python code ran (an override, the
    // sampler), which may have resized or freed the caller's memory. Throws
    // when the array no longer has the shape and element type it had.
    // Empty for memory that no Python code can touch.
    std::function<void(ScoreArray &)> renew;

    size_t ndim() const { return shape.size(); }
    void renew_after_host_code() {
        if (renew)
            renew(*this);
    }

    // Whether blocking, reading and restoring are defined for the element
    // type: float32, float16, int8, and uint16 holding bfloat16 patterns.
    bool is_supported() const;

    // Writes the element type's negative infinity (or its lowest value) at
    // row, column; throws for an unsupported element type.
    void block(int64_t row, int64_t column);
    // The same for many columns of one row.
    void block_columns(int64_t row, const std::vector<uint32_t> &columns);
    float read(int64_t row, int64_t column) const;
    void write(int64_t row, int64_t column, float score);

private:
    void *address(int64_t row, int64_t column) const;
};

// Exact IEEE 754 conversions between half and single precision; narrowing
// rounds to nearest even, overflows to infinity and keeps NaN's sign.
float half_to_float(uint16_t half);
uint16_t float_to_half(float value);

// bfloat16 is the upper half of a float's bit pattern.
float bfloat16_to_float(uint16_t bits);
uint16_t float_to_bfloat16(float value);

} // namespace zel
