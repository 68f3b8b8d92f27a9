"""Regular expressions of JSON Schema (``pattern``, ``patternProperties``)
turned into patterns over the JSON text of a string.

A schema's pattern speaks of the decoded string and searches it (it matches
anywhere unless anchored with ``^`` and ``$``); the native leaves read the
quoted JSON text and match it whole. So each character set becomes its JSON
spellings (a quote as ``\\"``, a line feed as ``\\n`` or ``\\u000a``, ...),
and an unanchored side gets "any characters" around it.

Characters that JSON need not escape are accepted in their plain spelling
only (not as ``\\uXXXX``); that refuses some odd but valid texts and never
admits a wrong one.
"""

from __future__ import annotations

from .errors import UnsupportedSchema

MAX_CODE_POINT = 0x10FFFF
Ranges = list[tuple[int, int]]

DIGITS: Ranges = [(0x30, 0x39)]
WORD: Ranges = [(0x30, 0x39), (0x41, 0x5A), (0x5F, 0x5F), (0x61, 0x7A)]
SPACE: Ranges = [(0x09, 0x0D), (0x20, 0x20), (0xA0, 0xA0), (0x1680, 0x1680), (0x2000, 0x200A),
                 (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F), (0x3000, 0x3000),
                 (0xFEFF, 0xFEFF)]
ANY: Ranges = [(0, MAX_CODE_POINT)]
# "." in a schema's pattern: anything but line terminators.
DOT: Ranges = [(0, 0x09), (0x0B, 0x0C), (0x0E, 0x2027), (0x202A, MAX_CODE_POINT)]

_SHORT_ESCAPES = {0x08: "b", 0x0C: "f", 0x0A: "n", 0x0D: "r", 0x09: "t"}
_CONTROL_ESCAPES = {"n": 0x0A, "t": 0x09, "r": 0x0D, "f": 0x0C, "v": 0x0B, "0": 0x00}


def normalise(ranges: Ranges) -> Ranges:
    merged: Ranges = []
    for low, high in sorted(ranges):
        if merged and low <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], high))
        else:
            merged.append((low, high))
    return merged


def complement(ranges: Ranges) -> Ranges:
    result, at = [], 0
    for low, high in normalise(ranges):
        if low > at:
            result.append((at, low - 1))
        at = high + 1
    if at <= MAX_CODE_POINT:
        result.append((at, MAX_CODE_POINT))
    return result


def subtract(ranges: Ranges, removed: Ranges) -> Ranges:
    keep = complement(removed)
    result = []
    for low, high in normalise(ranges):
        for k_low, k_high in keep:
            if k_low <= high and low <= k_high:
                result.append((max(low, k_low), min(high, k_high)))
    return result


def code_point(c: int) -> str:
    """One code point as an escape of the native pattern syntax."""
    if chr(c).isascii() and chr(c).isalnum():
        return chr(c)
    return f"\\u{c:04X}" if c <= 0xFFFF else f"\\U{c:08X}"


def literal(text: str) -> str:
    """A native pattern matching exactly ``text`` (as it stands)."""
    return "".join(code_point(ord(c)) for c in text)


def _class(ranges: Ranges) -> str:
    body = "".join(code_point(low) if low == high else f"{code_point(low)}-{code_point(high)}"
                   for low, high in ranges)
    return f"[{body}]"


_SPECIAL: Ranges = [(0x00, 0x1F), (0x22, 0x22), (0x5C, 0x5C)]


def json_characters(ranges: Ranges) -> str:
    """A native pattern for one character of ``ranges`` as JSON string text."""
    ranges = normalise(ranges)
    plain = subtract(ranges, _SPECIAL)
    options = [_class(plain)] if plain else []
    controls = ranges and ranges[0][0] == 0 and ranges[0][1] >= 0x1F
    if controls:
        options.append("\\\\u00[01][0-9a-fA-F]|\\\\[bfnrt]")
    for low, high in ranges:
        for c in range(max(low, 0x20 if controls else 0), min(high, 0x5C) + 1):
            if c <= 0x1F:
                hex_low = f"{c:04x}"
                spelled = "\\\\u" + "".join(
                    f"[{d}{d.upper()}]" if d.isalpha() else d for d in hex_low)
                options.append(spelled)
                if c in _SHORT_ESCAPES:
                    options.append("\\\\" + _SHORT_ESCAPES[c])
            elif c == 0x22:
                options.append('\\\\\\"')
            elif c == 0x5C:
                options.append("\\\\\\\\")
    if any(low <= 0x2F <= high for low, high in ranges):
        options.append("\\\\/")
    if not options:
        return "[^\\u0000-\\U0010FFFF]"  # nothing at all
    return options[0] if len(options) == 1 else "(?:" + "|".join(options) + ")"


#: Any character of a JSON string, in any of its spellings.
ANY_JSON_CHARACTER = r'(?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})'


class _Parser:
    """Recursive descent over a schema pattern, emitting a native pattern."""

    def __init__(self, pattern: str, where: str):
        self.pattern = pattern
        self.at = 0
        self.where = where

    def fail(self, what: str) -> UnsupportedSchema:
        return UnsupportedSchema(
            f"pattern {self.pattern!r}: {what} at position {self.at}", "pattern", self.where)

    def peek(self) -> str | None:
        return self.pattern[self.at] if self.at < len(self.pattern) else None

    def take(self) -> str:
        c = self.pattern[self.at]
        self.at += 1
        return c

    def top(self) -> str:
        alternatives = []
        while True:
            anchored_start = self.peek() == "^"
            if anchored_start:
                self.at += 1
            body, anchored_end = self.sequence(top=True)
            alternatives.append(("" if anchored_start else f"{ANY_JSON_CHARACTER}*") + body
                                + ("" if anchored_end else f"{ANY_JSON_CHARACTER}*"))
            if self.peek() == "|":
                self.at += 1
                continue
            if self.peek() is not None:
                raise self.fail("an unmatched ')'")
            return alternatives[0] if len(alternatives) == 1 else "(?:" + "|".join(alternatives) + ")"

    def alternation(self) -> str:
        alternatives = [self.sequence(top=False)[0]]
        while self.peek() == "|":
            self.at += 1
            alternatives.append(self.sequence(top=False)[0])
        return "|".join(alternatives)

    def sequence(self, top: bool) -> tuple[str, bool]:
        parts: list[str] = []
        while True:
            c = self.peek()
            if c is None or c in "|)":
                return "".join(parts), False
            if c == "$":
                self.at += 1
                if top and self.peek() in (None, "|"):
                    return "".join(parts), True
                raise self.fail("an anchor '$' inside the pattern")
            if c == "^":
                raise self.fail("an anchor '^' inside the pattern")
            atom = self.atom()
            parts.append(atom + self.quantifier())

    def quantifier(self) -> str:
        c = self.peek()
        if c is None:
            return ""
        if c in "*+?":
            self.at += 1
        elif c == "{":
            end = self.pattern.find("}", self.at)
            inside = self.pattern[self.at + 1:end] if end > 0 else ""
            numbers = inside.split(",")
            if end < 0 or len(numbers) > 2 or not numbers[0].isdigit() or not all(
                    n.isdigit() or (n == "" and i == 1) for i, n in enumerate(numbers)):
                return ""  # a literal "{"
            if any(n and int(n) > 10000 for n in numbers):
                raise self.fail("a repetition count above 10000")
            c = self.pattern[self.at:end + 1]
            self.at = end + 1
        else:
            return ""
        if self.peek() == "?":
            self.at += 1  # lazy: the same whole values
        if self.peek() == "+":
            raise self.fail("a possessive quantifier")
        return c

    def atom(self) -> str:
        c = self.take()
        if c == "(":
            if self.pattern.startswith("?:", self.at):
                self.at += 2
            elif self.peek() == "?":
                raise self.fail("lookaround or a named group")
            inner = self.alternation()
            if self.peek() != ")":
                raise self.fail("an unclosed group")
            self.at += 1
            return f"(?:{inner})"
        if c == ")":
            raise self.fail("an unmatched ')'")
        if c == "[":
            return json_characters(self.character_class())
        if c == ".":
            return json_characters(DOT)
        if c == "\\":
            return json_characters(self.escape(in_class=False))
        if c in "*+?":
            raise self.fail(f"a quantifier {c!r} with nothing before it")
        return json_characters([(ord(c), ord(c))])

    def escape(self, in_class: bool) -> Ranges:
        if self.peek() is None:
            raise self.fail("a trailing backslash")
        c = self.take()
        shorthand = {"d": DIGITS, "w": WORD, "s": SPACE}
        if c in shorthand:
            return shorthand[c]
        if c.lower() in shorthand:
            return complement(shorthand[c.lower()])
        if c in _CONTROL_ESCAPES:
            return [(_CONTROL_ESCAPES[c],) * 2]
        if c == "b" and in_class:
            return [(8, 8)]
        if c in "xu":
            if c == "u" and self.peek() == "{":
                end = self.pattern.find("}", self.at)
                digits = self.pattern[self.at + 1:end] if end > 0 else ""
                self.at = end + 1
            else:
                size = 2 if c == "x" else 4
                digits = self.pattern[self.at:self.at + size]
                self.at += size
                if len(digits) != size:
                    digits = ""
            try:
                value = int(digits, 16)
            except ValueError:
                raise self.fail(f"a malformed \\{c} escape") from None
            if value > MAX_CODE_POINT:
                raise self.fail(f"a malformed \\{c} escape")
            return [(value, value)]
        if c.isalnum():
            raise self.fail(f"the escape \\{c}")
        return [(ord(c), ord(c))]

    def class_member(self) -> Ranges:
        c = self.take()
        if c == "\\":
            return self.escape(in_class=True)
        return [(ord(c), ord(c))]

    def character_class(self) -> Ranges:
        negated = self.peek() == "^"
        if negated:
            self.at += 1
        ranges: Ranges = []
        while True:
            c = self.peek()
            if c is None:
                raise self.fail("an unclosed character class")
            if c == "]":
                self.at += 1
                break
            first = self.class_member()
            if (self.peek() == "-" and self.at + 1 < len(self.pattern)
                    and self.pattern[self.at + 1] != "]" and len(first) == 1
                    and first[0][0] == first[0][1]):
                self.at += 1
                last = self.class_member()
                if len(last) != 1 or last[0][0] != last[0][1] or last[0][0] < first[0][0]:
                    raise self.fail("a malformed class range")
                ranges.append((first[0][0], last[0][0]))
            else:
                ranges.extend(first)
        return complement(ranges) if negated else normalise(ranges)


def string_body_pattern(pattern: str, where: str) -> str:
    """The native pattern for the text between the quotes of a JSON string
    whose value the schema ``pattern`` matches (searching, as JSON Schema
    does)."""
    return _Parser(pattern, where).top()
