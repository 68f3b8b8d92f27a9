"""A small grammar kit shared by the grammar tests: the package's leaves
(`Literal`, `CharClass`) and helpers that compose and walk them."""

import zel_core as z
from zel import leaves


Literal = leaves.Literal
LiteralStepper = leaves.LiteralStepper


def CharClass(chars, min=1, max=None, **kwargs):
    return leaves.CharacterClass(chars, min_length=min, max_length=max, **kwargs)


def seq(*machines, **kwargs):
    """Walks `machines` one after the other, ending in "$"."""
    last = len(machines) - 1
    return z.StateMachine({i: [(m, i + 1 if i < last else "$")] for i, m in enumerate(machines)}, **kwargs)


def alt(*machines, **kwargs):
    """Walks exactly one of `machines`."""
    return z.StateMachine({0: [(m, "$") for m in machines]}, **kwargs)


def advance(steppers, token):
    """Feeds `token` to every stepper; keeps the results that used all of it."""
    return [r for s in steppers for r in s.consume(token) if r.remaining_input is None]


def walk(machine, tokens):
    """Feeds `tokens` (a list, or a str taken one character at a time) to the
    steppers of `machine.get_steppers()` and returns the survivors."""
    steppers = machine.get_steppers()
    for token in tokens:
        steppers = advance(steppers, token)
    return steppers


def accepted(steppers):
    return [s for s in steppers if s.has_reached_accept_state()]
