"""Native patterns for JSON numbers between bounds, exact for integer
bounds: the decimal spelling of every number in range and of no other.

Integers are spelt without leading zeros or exponents; bounded numbers
without exponents (an unbounded number takes any JSON spelling).
"""

from __future__ import annotations

import math

ANY_NUMBER = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?"
ANY_INTEGER = r"-?(?:0|[1-9][0-9]*)"

_ANY_FRACTION = r"(?:\.[0-9]+)?"
_ZERO_FRACTION = r"(?:\.0+)?"
_NONZERO_FRACTION = r"\.[0-9]*[1-9][0-9]*"


def _either(options: list[str | None]) -> str | None:
    present = [option for option in options if option is not None]
    if not present:
        return None
    return present[0] if len(present) == 1 else "(?:" + "|".join(present) + ")"


def _one_of(options: list[str]) -> str:
    return "(?:" + "|".join(options) + ")" if len(options) > 1 else options[0]


def _same_length(low: str, high: str) -> str:
    """Digit strings of one length from ``low`` to ``high``."""
    if low == high:
        return low
    if len(low) == 1:
        return f"[{low}-{high}]"
    rest = len(low) - 1
    if low[1:] == "0" * rest and high[1:] == "9" * rest:
        first = low[0] if low[0] == high[0] else f"[{low[0]}-{high[0]}]"
        return f"{first}[0-9]{{{rest}}}"
    if low[0] == high[0]:
        return low[0] + _same_length(low[1:], high[1:])
    options = [low[0] + _same_length(low[1:], "9" * rest)]
    least, most = int(low[0]) + 1, int(high[0]) - 1
    if least <= most:
        digit = str(least) if least == most else f"[{least}-{most}]"
        options.append(f"{digit}[0-9]{{{rest}}}")
    options.append(high[0] + _same_length("0" * rest, high[1:]))
    return _one_of(options)


def natural_range(low: int, high: int | None) -> str | None:
    """Canonical spellings of the integers ``low..high`` (``low >= 0``;
    ``high`` None: no end), or None when there are none."""
    if high is not None and high < low:
        return None
    options: list[str | None] = []
    top = high if high is not None else 10 ** len(str(low)) - 1
    for length in range(len(str(low)), len(str(top)) + 1):
        first = max(low, 10 ** (length - 1) if length > 1 else 0)
        last = min(top, 10 ** length - 1)
        if first <= last:
            options.append(_same_length(str(first), str(last)))
    if high is None:
        options.append(f"[1-9][0-9]{{{len(str(low))},}}")
    return _either(options)


def integer_range(low: int | None, high: int | None) -> str | None:
    """Spellings of the integers from ``low`` to ``high`` (None: no bound)."""
    if low is None and high is None:
        return ANY_INTEGER
    if low is not None and high is not None and high < low:
        return None
    options: list[str | None] = []
    # JSON may spell zero "-0"; it is in range wherever zero is.
    if (low is None or low <= 0) and (high is None or high >= 0):
        options.append("-0")
    if high is None or high >= 0:
        options.append(natural_range(max(low, 0) if low is not None else 0, high))
    if low is None or low < 0:
        # -n for n in max(1, -high)..-low
        negatives = natural_range(max(1, -high if high is not None else 1),
                                  -low if low is not None else None)
        if negatives is not None:
            options.append("-" + negatives if negatives.startswith("(") or len(negatives) == 1
                           else f"-(?:{negatives})")
    return _either(options)


def _magnitude_range(low: int, low_exclusive: bool, high: int | None,
                     high_exclusive: bool) -> str | None:
    """Decimal spellings (no sign, no exponent) of the numbers y with
    low < y (or <=) and y < high (or <=); integer bounds, ``low >= 0``."""
    options: list[str | None] = []
    core = natural_range(low + 1 if low_exclusive else low, None if high is None else high - 1)
    if core is not None:
        options.append(core + _ANY_FRACTION)
    if low_exclusive and (high is None or low < high):
        options.append(str(low) + _NONZERO_FRACTION)
    if high is not None and not high_exclusive and (high > low or not low_exclusive):
        options.append(str(high) + _ZERO_FRACTION)
    return _either(options)


def number_range(low: float | None, low_exclusive: bool, high: float | None,
                 high_exclusive: bool) -> str | None:
    """Spellings of the JSON numbers within the bounds. Bounds must be whole
    numbers (the caller checks); None means no bound."""
    if low is None and high is None:
        return ANY_NUMBER
    low = None if low is None else int(low)
    high = None if high is None else int(high)
    options: list[str | None] = []
    # Negative zero ("-0", "-0.0") is in range wherever zero is.
    if ((low is None or low < 0 or (low == 0 and not low_exclusive))
            and (high is None or high > 0 or (high == 0 and not high_exclusive))):
        options.append("-0" + _ZERO_FRACTION)
    # x >= 0
    if high is None or high > 0 or (high == 0 and not high_exclusive):
        if low is None or low < 0:
            start, start_exclusive = 0, False
        else:
            start, start_exclusive = low, low_exclusive
        options.append(_magnitude_range(start, start_exclusive, high, high_exclusive))
    # x < 0, written -y with y > 0
    if low is None or low < 0:
        if high is None or high >= 0:
            y_low, y_low_exclusive = 0, True
        else:
            y_low, y_low_exclusive = -high, high_exclusive
        y_high = None if low is None else -low
        magnitude = _magnitude_range(y_low, y_low_exclusive, y_high, low_exclusive)
        if magnitude is not None:
            options.append(f"-(?:{magnitude})")
    return _either(options)


def is_whole(bound: float) -> bool:
    return isinstance(bound, int) or (isinstance(bound, float) and math.isfinite(bound)
                                      and bound.is_integer())
