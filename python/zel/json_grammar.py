"""Leaves and machines for JSON, and a root grammar for "one JSON object".

Lexical leaves (Python ``zel_core.StateMachine`` subclasses whose Steppers
read characters):

- ``NumberMachine``: ``-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?``
- ``StringMachine``: a quoted string with the escapes ``\\" \\\\ \\/ \\b \\f
  \\n \\r \\t \\uXXXX``; raw control characters U+0000..U+001F are refused
- ``KeywordMachine``: one of a few fixed words (``true``, ``false``, ``null``)
- ``WhitespaceMachine``: optional run of at most ``max_length`` of
  space, tab, line feed and carriage return, so that a model cannot emit
  white space without end
- ``Punctuation``: a ``zel.leaves.Literal`` that answers the core's
  frequent questions from its character count

Structure (native machines, one per rule; they refer to each other, so the
value machine is created first and its graph assigned afterwards):

- ``JsonValueMachine``: object, array, string, number or keyword
- ``ObjectMachine`` / ``ArrayMachine``: containers of values
- ``json_object_grammar()``: the root of a document, an object with optional
  white space around it

Each leaf keeps the state of its little automaton in the Stepper's
``current_state`` (an int the core copies with every clone and never changes
for a leaf; the Stepper reads it as ``state``, typed as that int), so
``consume`` scans only the new token and never re-reads the value matched so
far. Every leaf is deterministic: it returns at most one successor, taking the
longest acceptable prefix of the token and leaving the rest as
``remaining_input``. A leaf that stops inside a token still reports
that it can take more when its text allows it, so that token healing may keep
it. The kinds of value begin with distinct characters, so after the first
character of a value only one alternative lives on.

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
themselves: an ``int`` or ``float`` for a number, the decoded ``str`` for a
closed string.

Masks: ``get_valid_continuations()`` lists the characters (or the rest of a
word) that may come next wherever that set is small. Inside a string body the
set is not small: it returns ``[]`` and ``get_invalid_continuations()`` lists
the refused control characters instead; a token is then checked by
``consume``. No leaf claims ``accepts_any_token()``.
"""

from __future__ import annotations

import json
import random
from collections.abc import Iterable
from typing import Any

import zel_core

from zel.leaves import Literal, LiteralStepper, typed_accessor

#: Longest run of white space accepted between two tokens of JSON.
DEFAULT_MAX_WHITESPACE = 16

WHITESPACE = " \t\n\r"
DIGITS = "0123456789"
HEX_DIGITS = "0123456789abcdefABCDEF"
#: Characters that may follow a backslash in a string, besides "u".
SIMPLE_ESCAPES = '"\\/bfnrt'
#: Characters that may not appear raw in a string.
CONTROL_CHARACTERS = tuple(chr(code) for code in range(0x20))


# --------------------------------------------------------------------------- numbers


def _transitions(*pairs: tuple[str, int]) -> dict[str, int]:
    table: dict[str, int] = {}
    for characters, target in pairs:
        for character in characters:
            table[character] = target
    return table


_NONZERO = "123456789"
# One dict per automaton state: character -> next state.
_NUMBER_TABLE = (
    _transitions(("-", 1), ("0", 2), (_NONZERO, 3)),  # 0: start
    _transitions(("0", 2), (_NONZERO, 3)),  # 1: after "-"
    _transitions((".", 4), ("eE", 6)),  # 2: "0"
    _transitions((DIGITS, 3), (".", 4), ("eE", 6)),  # 3: integer digits
    _transitions((DIGITS, 5),),  # 4: after "."
    _transitions((DIGITS, 5), ("eE", 6)),  # 5: fraction digits
    _transitions(("+-", 7), (DIGITS, 8)),  # 6: after "e"
    _transitions((DIGITS, 8),),  # 7: after the exponent's sign
    _transitions((DIGITS, 8),),  # 8: exponent digits
)
_NUMBER_ACCEPTING = frozenset({2, 3, 5, 8})
_NUMBER_CONTINUATIONS = tuple(tuple(sorted(table)) for table in _NUMBER_TABLE)


class NumberMachine(zel_core.StateMachine):
    """A JSON number. Keyword options go to ``StateMachine``."""

    def __init__(self, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "number")
        super().__init__(**machine_options)

    def get_new_stepper(self, state: int | str | None = None) -> NumberStepper:
        return NumberStepper(self)


class NumberStepper(zel_core.Stepper):
    state = typed_accessor(zel_core.Stepper.current_state, int)

    def should_start_step(self, token: str) -> bool:
        return bool(token) and token[0] in _NUMBER_TABLE[self.state]

    def consume(self, token: str) -> list[zel_core.Stepper]:
        state = self.state
        taken = 0
        for character in token:
            following = _NUMBER_TABLE[state].get(character)
            if following is None:
                break
            state = following
            taken += 1
        if not taken:
            return []
        successor = self.step(self.get_raw_value() + token[:taken], token[taken:] or None)
        successor.current_state = state
        return [successor]

    def can_accept_more_input(self) -> bool:
        return True  # every state has a way on (digits, at least)

    def has_reached_accept_state(self) -> bool:
        return self.state in _NUMBER_ACCEPTING

    def get_valid_continuations(self) -> list[str]:
        return list(_NUMBER_CONTINUATIONS[self.state])

    def get_current_value(self) -> object:
        if not self.has_reached_accept_state():
            return zel_core.Stepper.get_current_value(self)
        raw = self.get_raw_value()
        return int(raw) if self.state in (2, 3) else float(raw)


# --------------------------------------------------------------------------- strings

_OPEN, _BODY, _ESCAPE, _HEX_FIRST, _HEX_LAST, _CLOSED = 0, 1, 2, 3, 6, 7
_ESCAPE_CONTINUATIONS = tuple(sorted(SIMPLE_ESCAPES + "u"))
_HEX_CONTINUATIONS = tuple(sorted(HEX_DIGITS))


def _scan_string(state: int, token: str) -> tuple[int, int]:
    """The state after the longest acceptable prefix of `token`, and its length."""
    taken = 0
    for character in token:
        if state == _BODY:
            if character == '"':
                state = _CLOSED
            elif character == "\\":
                state = _ESCAPE
            elif character < " ":
                break
        elif state == _ESCAPE:
            if character == "u":
                state = _HEX_FIRST
            elif character in SIMPLE_ESCAPES:
                state = _BODY
            else:
                break
        elif _HEX_FIRST <= state <= _HEX_LAST:
            if character not in HEX_DIGITS:
                break
            state = _BODY if state == _HEX_LAST else state + 1
        elif state == _OPEN and character == '"':
            state = _BODY
        else:
            break
        taken += 1
    return state, taken


class StringMachine(zel_core.StateMachine):
    """A quoted JSON string. Keyword options go to ``StateMachine``."""

    def __init__(self, **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "string")
        super().__init__(**machine_options)

    def get_new_stepper(self, state: int | str | None = None) -> StringStepper:
        return StringStepper(self)


class StringStepper(zel_core.Stepper):
    state = typed_accessor(zel_core.Stepper.current_state, int)

    def should_start_step(self, token: str) -> bool:
        # Asked once per level of nesting for every token: kept to one test.
        if not token:
            return False
        state = self.state
        first = token[0]
        if state == _BODY:
            return first >= " "
        if state == _OPEN:
            return first == '"'
        if state == _ESCAPE:
            return first == "u" or first in SIMPLE_ESCAPES
        return state != _CLOSED and first in HEX_DIGITS

    def consume(self, token: str) -> list[zel_core.Stepper]:
        state, taken = _scan_string(self.state, token)
        if not taken:
            return []
        successor = self.step(self.get_raw_value() + token[:taken], token[taken:] or None)
        successor.current_state = state
        return [successor]

    def can_accept_more_input(self) -> bool:
        return self.state != _CLOSED

    def has_reached_accept_state(self) -> bool:
        return self.state == _CLOSED

    def get_valid_continuations(self) -> list[str]:
        state = self.state
        if state == _OPEN:
            return ['"']
        if state == _ESCAPE:
            return list(_ESCAPE_CONTINUATIONS)
        if _HEX_FIRST <= state <= _HEX_LAST:
            return list(_HEX_CONTINUATIONS)
        return []  # body: too many to list; closed: nothing

    def get_invalid_continuations(self) -> list[str]:
        return list(CONTROL_CHARACTERS) if self.state == _BODY else []

    def get_current_value(self) -> object:
        if self.state != _CLOSED:
            return zel_core.Stepper.get_current_value(self)
        return json.loads(self.get_raw_value())


# --------------------------------------------------------------------------- keywords


class KeywordMachine(zel_core.StateMachine):
    """One of a few words that all begin with different characters.

    Keyword options go to ``StateMachine``.
    """

    def __init__(self, words: Iterable[str] = ("true", "false", "null"), **machine_options: Any) -> None:
        machine_options.setdefault("identifier", "keyword")
        super().__init__(**machine_options)
        self.words = tuple(words)
        if not self.words or not all(self.words):
            raise ValueError("a keyword machine needs words of at least one character")
        self.word_by_first = {word[0]: index for index, word in enumerate(self.words)}
        if len(self.word_by_first) != len(self.words):
            raise ValueError("keywords must begin with different characters")

    def get_new_stepper(self, state: int | str | None = None) -> KeywordStepper:
        return KeywordStepper(self)


class KeywordStepper(zel_core.Stepper):
    """current_state: 0 before the first character, else 1 + the word's index."""

    machine = typed_accessor(zel_core.Stepper.state_machine, KeywordMachine)
    state = typed_accessor(zel_core.Stepper.current_state, int)

    def _taken(self, token: str) -> tuple[int, int]:
        """(1 + index of the word, length of the token's prefix it takes)."""
        if not token:
            return 0, 0
        state = self.state
        machine = self.machine
        if not state:
            state = machine.word_by_first.get(token[0], -1) + 1
            if not state:
                return 0, 0
        word = machine.words[state - 1]
        done = self.consumed_character_count
        taken = min(len(word) - done, len(token))
        if taken > 0 and word.startswith(token[:taken], done):
            return state, taken
        return 0, 0

    def should_start_step(self, token: str) -> bool:
        return self._taken(token)[1] > 0

    def consume(self, token: str) -> list[zel_core.Stepper]:
        state, taken = self._taken(token)
        if not taken:
            return []
        successor = self.step(self.get_raw_value() + token[:taken], token[taken:] or None)
        successor.current_state = state
        return [successor]

    def can_accept_more_input(self) -> bool:
        state = self.state
        return not state or self.consumed_character_count < len(self.machine.words[state - 1])

    def has_reached_accept_state(self) -> bool:
        return not self.can_accept_more_input()

    def get_valid_continuations(self) -> list[str]:
        state = self.state
        if not state:
            return list(self.machine.words)
        word = self.machine.words[state - 1]
        return [word[self.consumed_character_count:]] if self.can_accept_more_input() else []


# --------------------------------------------------------------------------- white space


class WhitespaceMachine(zel_core.StateMachine):
    """Up to ``max_length`` JSON white-space characters; optional by default.

    Keyword options go to ``StateMachine``.
    """

    def __init__(self, max_length: int = DEFAULT_MAX_WHITESPACE, **machine_options: Any) -> None:
        machine_options.setdefault("is_optional", True)
        super().__init__(**machine_options)
        if max_length < 1:
            raise ValueError("white space needs room for at least one character")
        self.max_length = max_length

    def get_new_stepper(self, state: int | str | None = None) -> WhitespaceStepper:
        return WhitespaceStepper(self)


class WhitespaceStepper(zel_core.Stepper):
    machine = typed_accessor(zel_core.Stepper.state_machine, WhitespaceMachine)

    def _taken(self, token: str) -> int:
        room = self.machine.max_length - self.consumed_character_count
        taken = 0
        for character in token:
            if taken == room or character not in WHITESPACE:
                break
            taken += 1
        return taken

    def should_start_step(self, token: str) -> bool:
        return bool(token) and token[0] in WHITESPACE and self.can_accept_more_input()

    def consume(self, token: str) -> list[zel_core.Stepper]:
        taken = self._taken(token)
        if not taken:
            return []
        return [self.step(self.get_raw_value() + token[:taken], token[taken:] or None)]

    def can_accept_more_input(self) -> bool:
        return self.consumed_character_count < self.machine.max_length

    def has_reached_accept_state(self) -> bool:
        return True

    def get_valid_continuations(self) -> list[str]:
        return list(WHITESPACE) if self.can_accept_more_input() else []


# --------------------------------------------------------------------------- punctuation


class Punctuation(Literal):
    """A ``Literal`` whose Steppers answer from their character count
    instead of re-reading their value: the questions the core asks most
    often cost no string operations."""

    def get_new_stepper(self, state: int | str | None = None) -> PunctuationStepper:
        return PunctuationStepper(self)


class PunctuationStepper(LiteralStepper):
    def can_accept_more_input(self) -> bool:
        return self.consumed_character_count < len(self.machine.text)

    def has_reached_accept_state(self) -> bool:
        return self.consumed_character_count >= len(self.machine.text)


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
