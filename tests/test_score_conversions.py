"""Half-precision and bfloat16 scores are read and restored through the
Engine's own conversions: every bit pattern, and every rounding decision,
against numpy (bfloat16 against its definition as a float's upper half)."""

import numpy as np
import pytest
import zel_core._score_conversions as conversions

ALL_PATTERNS = np.arange(1 << 16, dtype=np.uint16)


def same_floats(ours, expected):
    """Bit for bit, except that any NaN of the expected sign will do."""
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(ours), nan)
    assert np.array_equal(np.signbit(ours[nan]), np.signbit(expected[nan]))
    assert np.array_equal(ours[~nan].view(np.uint32), expected[~nan].view(np.uint32))


def same_patterns(ours, expected, exponent_mask):
    """Equal bit patterns, except that any NaN of the expected sign will do."""
    fraction_mask = 0x7FFF & ~exponent_mask
    nan = ((expected & exponent_mask) == exponent_mask) & ((expected & fraction_mask) != 0)
    assert np.array_equal(ours[~nan], expected[~nan])
    assert np.all((ours[nan] & exponent_mask) == exponent_mask)
    assert np.all(ours[nan] & fraction_mask)
    assert np.array_equal(ours[nan] >> 15, expected[nan] >> 15)


def neighbours(values):
    """Each float32 value, the next one down and the next one up."""
    values = values.astype(np.float32)
    return np.concatenate([values, np.nextafter(values, np.float32(-np.inf)),
                           np.nextafter(values, np.float32(np.inf))])


def halfway_points(patterns, to_float):
    """The float32 values halfway between consecutive finite patterns of a
    16-bit format (exact in float32), with their neighbours."""
    finite = patterns[np.isfinite(to_float(patterns))]
    low = to_float(finite[:-1]).astype(np.float64)
    high = to_float(finite[1:]).astype(np.float64)
    ordered = np.abs(high) >= np.abs(low)
    return neighbours(((low + high) / 2)[ordered])


def bfloat16_reference(values):
    """Round to nearest even on a float's upper 16 bits; NaN stays NaN."""
    bits = values.view(np.uint32).astype(np.uint64)
    rounded = ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16).astype(np.uint16)
    return np.where(np.isnan(values), (bits >> 16).astype(np.uint16) | 0x0040, rounded)


def random_floats(count, seed=0):
    return np.random.default_rng(seed).integers(0, 1 << 32, count, dtype=np.uint32).view(np.float32)


def test_every_half_pattern_reads_and_restores_exactly():
    floats = conversions.half_to_float(ALL_PATTERNS)
    same_floats(floats, ALL_PATTERNS.view(np.float16).astype(np.float32))
    same_patterns(conversions.float_to_half(floats), ALL_PATTERNS, 0x7C00)


@pytest.mark.parametrize("values", ["halfway points", "random floats", "edges"])
def test_narrowing_to_half_rounds_like_numpy(values):
    floats = {
        "halfway points": lambda: halfway_points(ALL_PATTERNS, lambda p: p.view(np.float16).astype(np.float32)),
        "random floats": lambda: random_floats(1 << 20),
        # Overflow, the smallest subnormal and below, infinities, NaNs of both signs.
        "edges": lambda: neighbours(np.array([65504, 65520, 2.0 ** -24, 2.0 ** -25, 2.0 ** -26, 0.0,
                                              np.inf, -np.inf, np.nan, -np.nan, 3.4e38], np.float32)),
    }[values]()
    with np.errstate(over="ignore"):
        expected = floats.astype(np.float16).view(np.uint16)
    same_patterns(conversions.float_to_half(floats), expected, 0x7C00)


def test_every_bfloat16_pattern_reads_and_restores_exactly():
    floats = conversions.bfloat16_to_float(ALL_PATTERNS)
    same_floats(floats, (ALL_PATTERNS.astype(np.uint32) << 16).view(np.float32))
    same_patterns(conversions.float_to_bfloat16(floats), ALL_PATTERNS, 0x7F80)


@pytest.mark.parametrize("values", ["halfway points", "random floats"])
def test_narrowing_to_bfloat16_rounds_to_nearest_even(values):
    if values == "halfway points":
        floats = halfway_points(ALL_PATTERNS, conversions.bfloat16_to_float)
    else:
        floats = random_floats(1 << 20, seed=1)
    same_patterns(conversions.float_to_bfloat16(floats), bfloat16_reference(floats), 0x7F80)
