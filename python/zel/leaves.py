"""Leaf machines written in Python: the parts of a grammar that read text.

A leaf is a ``zel_core.StateMachine`` subclass whose Steppers consume
characters themselves; the native core composes leaves into larger grammars.
Native counterparts that never call Python while advancing, and a
regular-expression leaf, are in ``zel_core.leaves``; both kinds mix freely in
one grammar.
"""

from __future__ import annotations

from collections.abc import Iterable

import zel_core


class Literal(zel_core.StateMachine):
    """Matches one fixed text. Keyword options go to ``StateMachine``."""

    def __init__(self, text: str, **machine_options):
        super().__init__(**machine_options)
        if not text:
            raise ValueError("a literal needs at least one character")
        self.text = text

    def get_new_stepper(self, state=None):
        return LiteralStepper(self)


class LiteralStepper(zel_core.Stepper):
    def _rest(self) -> str:
        return self.state_machine.text[len(self.get_raw_value()):]

    def should_start_step(self, token: str) -> bool:
        rest = self._rest()
        return bool(rest) and bool(token) and (token.startswith(rest) or rest.startswith(token))

    def consume(self, token: str):
        rest = self._rest()
        taken = min(len(rest), len(token))
        if not taken or token[:taken] != rest[:taken]:
            return []
        return [self.step(self.get_raw_value() + token[:taken], token[taken:] or None)]

    def can_accept_more_input(self) -> bool:
        return bool(self._rest())

    def has_reached_accept_state(self) -> bool:
        return not self._rest()

    def get_valid_continuations(self):
        rest = self._rest()
        return [rest] if rest else []


class CharacterClass(zel_core.StateMachine):
    """Matches between ``min_length`` and ``max_length`` characters of a set.

    Keyword options go to ``StateMachine``.
    """

    def __init__(self, characters: Iterable[str], min_length: int = 1,
                 max_length: int | None = None, **machine_options):
        super().__init__(**machine_options)
        self.characters = frozenset(characters)
        self.min_length = min_length
        self.max_length = max_length

    def get_new_stepper(self, state=None):
        return CharacterClassStepper(self)


class CharacterClassStepper(zel_core.Stepper):
    def _room(self) -> int | None:
        limit = self.state_machine.max_length
        return None if limit is None else limit - len(self.get_raw_value())

    def _prefix_length(self, token: str) -> int:
        room = self._room()
        allowed = self.state_machine.characters
        count = 0
        for character in token:
            if character not in allowed or (room is not None and count >= room):
                break
            count += 1
        return count

    def should_start_step(self, token: str) -> bool:
        return self._prefix_length(token) > 0

    def consume(self, token: str):
        taken = self._prefix_length(token)
        if not taken:
            return []
        return [self.step(self.get_raw_value() + token[:taken], token[taken:] or None)]

    def can_accept_more_input(self) -> bool:
        room = self._room()
        return room is None or room > 0

    def has_reached_accept_state(self) -> bool:
        return len(self.get_raw_value()) >= self.state_machine.min_length

    def is_within_value(self) -> bool:
        return bool(self.get_raw_value())

    def get_valid_continuations(self):
        return sorted(self.state_machine.characters) if self.can_accept_more_input() else []
