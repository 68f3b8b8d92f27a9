"""Small leaf machines written in Python, shared by the grammar tests.

`Literal` matches one fixed text, `CharClass` a run of characters from a set.
Both keep their accumulated text in `_raw_value` (through `Stepper.step`) and
hand any unconsumed part of a token back through `remaining_input`.
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
        return bool(rest) and bool(token) and (token.startswith(rest) or rest.startswith(token))

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
        rest = self._rest()
        return [rest] if rest else []


class CharClass(z.StateMachine):
    def __init__(self, chars, min=1, max=None, **kwargs):
        super().__init__(**kwargs)
        self.chars, self.min, self.max = chars, min, max

    def get_new_stepper(self, state=None):
        return CharClassStepper(self, state)


class CharClassStepper(z.Stepper):
    def __init__(self, state_machine, state=None):
        super().__init__(state_machine, state)

    def _count(self):
        return len(self.get_raw_value())

    def _room(self):
        sm = self.state_machine
        return None if sm.max is None else sm.max - self._count()

    def should_start_step(self, token):
        room = self._room()
        return bool(token) and token[0] in self.state_machine.chars and (room is None or room > 0)

    def consume(self, token):
        chars, room = self.state_machine.chars, self._room()
        n = 0
        while n < len(token) and token[n] in chars and (room is None or n < room):
            n += 1
        if n == 0:
            return []
        return [self.step(self.get_raw_value() + token[:n], token[n:] or None)]

    def can_accept_more_input(self):
        room = self._room()
        return room is None or room > 0

    def has_reached_accept_state(self):
        return self._count() >= self.state_machine.min

    def get_valid_continuations(self):
        return list(self.state_machine.chars) if self.can_accept_more_input() else []


def seq(*machines, **kwargs):
    """A machine that walks `machines` one after the other, ending in "$"."""
    graph = {i: [(m, i + 1 if i + 1 < len(machines) else "$")] for i, m in enumerate(machines)}
    return z.StateMachine(graph, **kwargs)


def alt(*machines, **kwargs):
    """A machine that walks exactly one of `machines`."""
    return z.StateMachine({0: [(m, "$") for m in machines]}, **kwargs)


def advance(steppers, token):
    out = []
    for s in steppers:
        out.extend(s.consume(token))
    return out


def walk(machine, tokens):
    """Feed `tokens` (a list of tokens, or a str fed one character at a time)
    to every stepper of `machine.get_steppers()` and return the survivors."""
    steppers = machine.get_steppers()
    for token in tokens:
        steppers = advance(steppers, token)
    return steppers


def accepted(steppers):
    return [s for s in steppers if s.has_reached_accept_state()]
