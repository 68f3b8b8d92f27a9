"""Leaf machines written in Python: the parts of a grammar that read text.

A leaf is a ``zel_core.StateMachine`` subclass whose Steppers consume
characters themselves; the native core composes leaves into larger grammars.
Native counterparts that never call Python while advancing, and a
regular-expression leaf, are in ``zel_core.leaves``; both kinds mix freely in
one grammar.

A leaf Stepper reads its machine as ``machine``, typed as the leaf's own
machine class (see ``typed_accessor``).
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Protocol, TypeVar, cast

import zel_core

T_co = TypeVar("T_co", covariant=True)


class Accessor(Protocol[T_co]):
    """A read-only attribute that gives a ``T_co``, to type checkers."""

    def __get__(self, instance: object, owner: type | None = None, /) -> T_co: ...


def typed_accessor(native: object, kind: type[T_co]) -> Accessor[T_co]:
    """A native property of ``zel_core.Stepper`` under a second name, typed
    as giving a ``kind``: ``machine = typed_accessor(zel_core.Stepper.state_machine,
    Literal)`` in a Stepper class lets type checkers see ``self.machine`` as
    the ``Literal`` it is. At run time it is the very same property, so reading
    it costs no Python call (leaf methods are hot); ``kind`` is not checked.
    """
    return cast("Accessor[T_co]", native)


class Literal(zel_core.StateMachine):
    """Matches one fixed text. Keyword options go to ``StateMachine``."""

    def __init__(self, text: str, **machine_options: Any) -> None:
        super().__init__(**machine_options)
        if not text:
            raise ValueError("a literal needs at least one character")
        self.text = text

    def get_new_stepper(self, state: int | str | None = None) -> LiteralStepper:
        return LiteralStepper(self)


class LiteralStepper(zel_core.Stepper):
    machine = typed_accessor(zel_core.Stepper.state_machine, Literal)

    def _rest(self) -> str:
        return self.machine.text[len(self.get_raw_value()):]

    def should_start_step(self, token: str) -> bool:
        rest = self._rest()
        return bool(rest) and bool(token) and (token.startswith(rest) or rest.startswith(token))

    def consume(self, token: str) -> list[zel_core.Stepper]:
        rest = self._rest()
        taken = min(len(rest), len(token))
        if not taken or token[:taken] != rest[:taken]:
            return []
        return [self.step(self.get_raw_value() + token[:taken], token[taken:] or None)]

    def can_accept_more_input(self) -> bool:
        return bool(self._rest())

    def has_reached_accept_state(self) -> bool:
        return not self._rest()

    def get_valid_continuations(self) -> list[str]:
        rest = self._rest()
        return [rest] if rest else []


class CharacterClass(zel_core.StateMachine):
    """Matches between ``min_length`` and ``max_length`` characters of a set.

    Keyword options go to ``StateMachine``.
    """

    def __init__(self, characters: Iterable[str], min_length: int = 1,
                 max_length: int | None = None, **machine_options: Any) -> None:
        super().__init__(**machine_options)
        self.characters = frozenset(characters)
        self.min_length = min_length
        self.max_length = max_length

    def get_new_stepper(self, state: int | str | None = None) -> CharacterClassStepper:
        return CharacterClassStepper(self)


class CharacterClassStepper(zel_core.Stepper):
    machine = typed_accessor(zel_core.Stepper.state_machine, CharacterClass)

    def _room(self) -> int | None:
        limit = self.machine.max_length
        return None if limit is None else limit - len(self.get_raw_value())

    def _prefix_length(self, token: str) -> int:
        room = self._room()
        allowed = self.machine.characters
        count = 0
        for character in token:
            if character not in allowed or (room is not None and count >= room):
                break
            count += 1
        return count

    def should_start_step(self, token: str) -> bool:
        return self._prefix_length(token) > 0

    def consume(self, token: str) -> list[zel_core.Stepper]:
        taken = self._prefix_length(token)
        if not taken:
            return []
        return [self.step(self.get_raw_value() + token[:taken], token[taken:] or None)]

    def can_accept_more_input(self) -> bool:
        room = self._room()
        return room is None or room > 0

    def has_reached_accept_state(self) -> bool:
        return len(self.get_raw_value()) >= self.machine.min_length

    def is_within_value(self) -> bool:
        return bool(self.get_raw_value())

    def get_valid_continuations(self) -> list[str]:
        return sorted(self.machine.characters) if self.can_accept_more_input() else []
