"""Leaves and machines for JSON, and a root grammar for "one JSON object".

Lexical leaves (native ``zel_core.leaves`` machines: their Steppers read
text along an automaton compiled once, without calling Python):

- ``NumberMachine``: ``-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?``
- ``StringMachine``: a quoted string with the escapes ``\\" \\\\ \\/ \\b \\f
  \\n \\r \\t \\uXXXX``; raw control characters U+0000..U+001F are refused
- ``KeywordMachine``: one of a few fixed words (``true``, ``false``, ``null``)
- ``WhitespaceMachine``: optional run of at most ``max_length`` of
  space, tab, line feed and carriage return, so that a model cannot emit
  white space without end
- ``Punctuation``: a native ``Literal`` for ``{ } [ ] : ,``

Structure (native machines, one per rule; they refer to each other, so the
value machine is created first and its graph assigned afterwards):

- ``JsonValueMachine``: object, array, string, number or keyword
- ``ObjectMachine`` / ``ArrayMachine``: containers of values
- ``json_object_grammar()``: the root of a document, an object with optional
  white space around it

Each leaf's Stepper stands in a state of its automaton (kept as its
``current_state``), so ``consume`` scans only the new token and never re-reads
the value matched so far, and advancing never calls Python. Every leaf is
deterministic: it returns at most one successor, taking the longest acceptable
prefix of the token and leaving the rest as ``remaining_input`` (keywords and
punctuation refuse a token that parts from their word before its end). A leaf
that stops inside a token still reports that it can take more when its text
allows it, so that token healing may keep it. The kinds of value begin with
distinct characters, so after the first character of a value only one
alternative lives on.

The core merges Steppers that look equal to it: same machines (sub-machines
compared by identifier or class name, a leaf's own text not at all), same
target states and character counts. Alternatives that leave one state
therefore go to different targets or to leaves with different identifiers;
this is why true, false and null are one ``KeywordMachine`` rather than three
``Literal`` leaves, which the core would take for one another.

Values: ``get_current_value()`` of a Stepper above the leaves is computed by
the native core from the raw text (a number through ``strtod``, anything else
through a JSON parser). For a finished document it is the parsed JSON, a
``dict`` whose keys come in sorted order (not document order; with repeated
keys the last one wins, as in ``json.loads``). Integers outside the 64-bit
range come back as floats. Numbers too large for a double (``1e400``) or lone
surrogate escapes (``"\\ud800"``) make that parser fail, and the value is
then the raw text. An unfinished document's value is its raw
text. ``NumberMachine`` and ``StringMachine`` Steppers report Python values
through their leaf's ``value`` function, called only by ``get_current_value``:
an ``int`` or ``float`` for a number, the decoded ``str`` for a closed string.

Masks: ``get_valid_continuations()`` lists the characters (or the rest of a
word) that may come next wherever that set is small. Inside a string body the
set is not small: it returns ``[]`` and ``get_invalid_continuations()`` lists
the refused control characters instead; a token is then checked by
``consume``. No leaf claims ``accepts_any_token()``.
"""

from __future__ import annotations

import json
import random
import re
from collections.abc import Iterable
from typing import Any

import zel_core
from zel_core.leaves import CharacterClass, Literal, Regex

#: Longest run of white space accepted between two tokens of JSON.
DEFAULT_MAX_WHITESPACE = 16

WHITESPACE = " \t\n\r"
DIGITS = "0123456789"
HEX_DIGITS = "0123456789abcdefABCDEF"
#: Characters that may follow a backslash in a string, besides "u".
SIMPLE_ESCAPES = '"\\/bfnrt'
#: Characters that may not appear raw in a string.
CONTROL_CHARACTERS = tuple(chr(code) for code in range(0x20))


# --------------------------------------------------------------------------- leaves

#: The patterns of the native leaves (``zel_core.leaves.Regex``).
NUMBER_PATTERN = r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?"
STRING_PATTERN = r'"([^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"'


def _number_value(text: str) -> int | float:
    return float(text) if any(mark in text for mark in ".eE") else int(text)


class NumberMachine(Regex):
    """A JSON number. Keyword options go to ``Regex``."""

    def __init__(self, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "number")
        machine_options.setdefault("value", _number_value)
        super().__init__(NUMBER_PATTERN, **machine_options)


class StringMachine(Regex):
    """A quoted JSON string. Keyword options go to ``Regex``."""

    def __init__(self, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "string")
        machine_options.setdefault("value", json.loads)
        super().__init__(STRING_PATTERN, **machine_options)


class KeywordMachine(Regex):
    """One of a few words that all begin with different characters.

    Keyword options go to ``Regex``.
    """

    def __init__(self, words: Iterable[str] = ("true", "false", "null"),
                 **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "keyword")
        words = tuple(words)
        if not words or not all(words):
            raise ValueError("a keyword machine needs words of at least one character")
        word_by_first = {word[0]: index for index, word in enumerate(words)}
        if len(word_by_first) != len(words):
            raise ValueError("keywords must begin with different characters")
        super().__init__("|".join(re.escape(word) for word in words), whole_tokens=True,
                         **machine_options)
        self.words = words
        self.word_by_first = word_by_first


class WhitespaceMachine(CharacterClass):
    """Up to ``max_length`` JSON white-space characters; optional by default.

    Keyword options go to ``CharacterClass``.
    """

    def __init__(self, max_length: int = DEFAULT_MAX_WHITESPACE, **machine_options: Any) -> None:
        machine_options.setdefault("is_optional", True)
        if max_length < 1:
            raise ValueError("white space needs room for at least one character")
        super().__init__(WHITESPACE, 0, max_length, **machine_options)
        self.max_length = max_length


class Punctuation(Literal):
    """A native ``Literal`` for the one-character tokens of JSON."""

    def __init__(self, text: str, **machine_options: Any) -> None:
        super().__init__(text, **machine_options)
        self.text = text


# --------------------------------------------------------------------------- structure


class ObjectMachine(zel_core.StateMachine):
    """``{ "key": value, ... }`` with optional white space between tokens."""

    def __init__(self, value: zel_core.StateMachine, whitespace: zel_core.StateMachine | None = None,
                 key: zel_core.StateMachine | None = None, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "object")
        super().__init__(**machine_options)
        ws = whitespace if whitespace is not None else WhitespaceMachine()
        key = key if key is not None else StringMachine()
        close = Punctuation("}")
        # Alternatives out of one state lead to different targets, so the
        # core's merging of look-alike Steppers never joins two of them.
        self.state_graph = {
            0: [(Punctuation("{"), 1)],
            1: [(ws, 2)],
            2: [(close, "$"), (key, 3)],
            3: [(ws, 4)],
            4: [(Punctuation(":"), 5)],
            5: [(ws, 6)],
            6: [(value, 7)],
            7: [(ws, 8)],
            8: [(Punctuation(","), 9), (close, "$")],
            9: [(ws, 10)],
            10: [(key, 3)],
        }


class ArrayMachine(zel_core.StateMachine):
    """``[ value, ... ]`` with optional white space between tokens."""

    def __init__(self, value: zel_core.StateMachine, whitespace: zel_core.StateMachine | None = None,
                 **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "array")
        super().__init__(**machine_options)
        ws = whitespace if whitespace is not None else WhitespaceMachine()
        close = Punctuation("]")
        self.state_graph = {
            0: [(Punctuation("["), 1)],
            1: [(ws, 2)],
            2: [(close, "$"), (value, 3)],
            3: [(ws, 4)],
            4: [(Punctuation(","), 5), (close, "$")],
            5: [(ws, 6)],
            6: [(value, 3)],
        }


class JsonValueMachine(zel_core.StateMachine):
    """Any JSON value: object, array, string, number, true, false or null.

    The object and array machines refer back to this machine (a reference
    cycle the garbage collector can break); they are the attributes
    ``object_machine`` and ``array_machine``.
    """

    def __init__(self, max_whitespace: int = DEFAULT_MAX_WHITESPACE, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "value")
        super().__init__(**machine_options)
        ws = WhitespaceMachine(max_whitespace)
        string = StringMachine()
        self.object_machine = ObjectMachine(self, ws, string)
        self.array_machine = ArrayMachine(self, ws)
        self.whitespace_machine = ws
        self.state_graph = {0: [
            (self.object_machine, "$"),
            (self.array_machine, "$"),
            (string, "$"),
            (NumberMachine(), "$"),
            (KeywordMachine(), "$"),
        ]}


def json_object_grammar(max_whitespace: int = DEFAULT_MAX_WHITESPACE) -> zel_core.StateMachine:
    """A document holding one JSON object, with optional white space around it.

    The accepted Stepper's ``get_current_value()`` is the object as a dict.
    """
    value = JsonValueMachine(max_whitespace)
    ws = value.whitespace_machine
    return zel_core.StateMachine(
        {0: [(ws, 1)], 1: [(value.object_machine, 2)], 2: [(ws, "$")]},
        identifier="json",
    )


# --------------------------------------------------------------------------- random documents

_STRING_PIECES = (
    "a", "b", "z", "key", " ", "0", "é", "日本", "😀", "~", "'",
    '\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t",
    "\\u0041", "\\u00e9", "\\u0000", "\\u001F", "\\uFFFD", "\\ud83d\\ude00",
)


def _random_whitespace(rng: random.Random, max_whitespace: int) -> str:
    if rng.random() < 0.75:
        return ""
    return "".join(rng.choice(WHITESPACE) for _ in range(rng.randint(1, min(3, max_whitespace))))


def _random_string(rng: random.Random) -> str:
    return '"' + "".join(rng.choice(_STRING_PIECES) for _ in range(rng.randint(0, 4))) + '"'


def _random_number(rng: random.Random) -> str:
    sign = rng.choice(("", "", "-"))
    integer = rng.choice(("0", str(rng.randint(1, 9)), str(rng.randint(10, 10**12))))
    fraction = rng.choice(("", "", "." + str(rng.randint(0, 999)).zfill(rng.randint(1, 3))))
    exponent = rng.choice(("", "", rng.choice("eE") + rng.choice(("", "+", "-")) + str(rng.randint(0, 30))))
    return sign + integer + fraction + exponent


def _random_value(rng: random.Random, depth: int, ws: int) -> str:
    kinds = ["string", "number", "keyword"] + (["object", "array"] * 2 if depth > 0 else [])
    kind = rng.choice(kinds)
    if kind == "object":
        return _random_object(rng, depth - 1, ws)
    if kind == "array":
        return _random_array(rng, depth - 1, ws)
    if kind == "string":
        return _random_string(rng)
    if kind == "number":
        return _random_number(rng)
    return rng.choice(("true", "false", "null"))


def _random_container(rng: random.Random, open_: str, close: str, items: list[str], ws: int) -> str:
    def w() -> str:
        return _random_whitespace(rng, ws)

    if not items:
        return open_ + w() + close
    return open_ + ",".join(w() + item + w() for item in items) + close


def _random_object(rng: random.Random, depth: int, ws: int, least: int = 0) -> str:
    members = []
    for _ in range(rng.randint(least, 4)):
        key = _random_string(rng)
        members.append(key + _random_whitespace(rng, ws) + ":" + _random_whitespace(rng, ws)
                       + _random_value(rng, depth, ws))
    return _random_container(rng, "{", "}", members, ws)


def _random_array(rng: random.Random, depth: int, ws: int) -> str:
    items = [_random_value(rng, depth, ws) for _ in range(rng.randint(0, 4))]
    return _random_container(rng, "[", "]", items, ws)


def random_document(rng: random.Random, max_depth: int = 3,
                    max_whitespace: int = DEFAULT_MAX_WHITESPACE) -> str:
    """A random JSON object text that ``json_object_grammar(max_whitespace)``
    accepts: nested objects and arrays (empty ones too), strings with every
    escape (``\\uXXXX`` included, surrogate pairs but no lone surrogates),
    numbers with signs, fractions and exponents, true, false and null, and
    white space between tokens. Containers nest at most ``max_depth`` levels
    below the root object.
    """
    ws = _random_whitespace(rng, max_whitespace)
    least = 1 if rng.random() < 0.9 else 0
    return (ws + _random_object(rng, max_depth, max_whitespace, least)
            + _random_whitespace(rng, max_whitespace))
