"""Leaf machines written in Python, shared by the grammar tests.

`Literal` matches one fixed text, `CharClass` a run of characters from a set.
Both keep the text they matched in `_raw_value` (built with `Stepper.step`)
and hand the unconsumed part of a token back through `remaining_input`.
"""

import zel_core as z


class Literal(z.StateMachine):
    def __init__(self, text, **kwargs):
        super().__init__(**kwargs)
        self.text = text

    def get_new_stepper(self, state=None):
        return LiteralStepper(self, state)


class LiteralStepper(z.Stepper):
    def __init__(self, state_machine, state=None):
        super().__init__(state_machine, state)

    def _rest(self):
        return self.state_machine.text[len(self.get_raw_value()):]

    def should_start_step(self, token):
        rest = self._rest()
        return bool(rest and token) and (token.startswith(rest) or rest.startswith(token))

    def consume(self, token):
        rest = self._rest()
        n = min(len(rest), len(token))
        if n == 0 or token[:n] != rest[:n]:
            return []
        return [self.step(self.get_raw_value() + token[:n], token[n:] or None)]

    def can_accept_more_input(self):
        return bool(self._rest())

    def has_reached_accept_state(self):
        return not self._rest()

    def get_valid_continuations(self):
        return [self._rest()] if self._rest() else []


class CharClass(z.StateMachine):
    def __init__(self, chars, min=1, max=None, **kwargs):
        super().__init__(**kwargs)
        self.chars, self.min, self.max = chars, min, max

    def get_new_stepper(self, state=None):
        return CharClassStepper(self, state)


class CharClassStepper(z.Stepper):
    def __init__(self, state_machine, state=None):
        super().__init__(state_machine, state)

    def _room(self):
        top = self.state_machine.max
        return len(self.get_raw_value()) if top is None else top - len(self.get_raw_value())

    def should_start_step(self, token):
        return bool(token) and token[0] in self.state_machine.chars and self.can_accept_more_input()

    def consume(self, token):
        chars, room = self.state_machine.chars, self._room()
        n = 0
        while n < len(token) and token[n] in chars and (self.state_machine.max is None or n < room):
            n += 1
        if n == 0:
            return []
        return [self.step(self.get_raw_value() + token[:n], token[n:] or None)]

    def can_accept_more_input(self):
        return self.state_machine.max is None or self._room() > 0

    def has_reached_accept_state(self):
        return len(self.get_raw_value()) >= self.state_machine.min

    def get_valid_continuations(self):
        return list(self.state_machine.chars) if self.can_accept_more_input() else []


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
