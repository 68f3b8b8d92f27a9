"""Combinators for grammar authors: literal, regex, choice, sequence,
optional and bounded repetition, each returning a ``zel_core.StateMachine``.

Arguments may be machines (native leaves, Python leaves, composed machines)
or plain strings, which become literals. Every keyword option
(``identifier`` above all) goes to the machine that is made.

Why alternatives lead to states of their own: the core merges Steppers that
look alike (same machine names, same target state, same character count),
and leaves are compared by name, not by their text. Two unnamed leaves on
edges into one state would be taken for one another; edges into distinct
states never are.
"""

from __future__ import annotations

from typing import Union

import zel_core
from zel_core.leaves import Literal, Regex

Part = Union[zel_core.StateMachine, str]


def literal(text: str, **machine_options) -> zel_core.StateMachine:
    """Exactly ``text``."""
    return Literal(text, **machine_options)


def regex(pattern: str, **machine_options) -> zel_core.StateMachine:
    """A whole text matching ``pattern`` (anchored at both ends, as
    ``re.fullmatch``), read natively along an automaton compiled once.

    The pattern subset is ``zel_core.leaves.Regex``'s; a pattern outside it
    raises ``ValueError`` naming the position.
    """
    return Regex(pattern, **machine_options)


def machine_of(part: Part) -> zel_core.StateMachine:
    if isinstance(part, str):
        return Literal(part)
    if not isinstance(part, zel_core.StateMachine):
        raise TypeError(f"expected a StateMachine or a str, got {type(part).__name__}")
    return part


def choice(*alternatives: Part, **machine_options) -> zel_core.StateMachine:
    """Any one of ``alternatives``."""
    if not alternatives:
        raise ValueError("a choice needs at least one alternative")
    machines = [machine_of(part) for part in alternatives]
    graph: dict = {0: [(machine, index + 1) for index, machine in enumerate(machines)]}
    return zel_core.StateMachine(graph, end_states=list(range(1, len(machines) + 1)),
                                 **machine_options)


def sequence(*parts: Part, **machine_options) -> zel_core.StateMachine:
    """``parts`` one after the other."""
    if not parts:
        raise ValueError("a sequence needs at least one part")
    machines = [machine_of(part) for part in parts]
    graph: dict = {index: [(machine, index + 1)] for index, machine in enumerate(machines)}
    return zel_core.StateMachine(graph, end_states=[len(machines)], **machine_options)


def optional(part: Part, **machine_options) -> zel_core.StateMachine:
    """``part`` or nothing."""
    return repetition(part, 0, 1, **machine_options)


def repetition(part: Part, min_count: int = 0, max_count: int | None = None,
               separator: Part | None = None, **machine_options) -> zel_core.StateMachine:
    """Between ``min_count`` and ``max_count`` (None: no limit) of ``part``,
    with ``separator`` between two of them when given.

    A run that may be empty is an optional machine (``is_optional``), the
    way the core skips a part of a grammar.
    """
    if min_count < 0 or (max_count is not None and max_count < max(min_count, 1)):
        raise ValueError(f"no repetition of {min_count} to {max_count} parts")
    item = machine_of(part)
    later = item if separator is None else sequence(machine_of(separator), item)
    least = max(min_count, 1)
    graph: dict = {0: [(item, 1)]}
    for count in range(1, least):
        graph[count] = [(later, count + 1)]
    if max_count is None:
        # Two states take turns: an edge back into its own state is refused
        # while the part that led there can still read more.
        graph[least] = [(later, least + 1)]
        graph[least + 1] = [(later, least)]
    else:
        for count in range(least, max_count):
            graph[count] = [(later, count + 1)]
    ends = list(range(least, (max_count if max_count is not None else least + 1) + 1))
    if min_count == 0:
        machine_options.setdefault("is_optional", True)
    return zel_core.StateMachine(graph, end_states=ends, **machine_options)
