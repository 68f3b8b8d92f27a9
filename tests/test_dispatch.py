"""Native code calling into Python subclasses of StateMachine and Stepper."""

import pytest
import zel_core as z

from grammar_kit import Literal, LiteralStepper, accepted, seq, walk


def test_get_edges_override_drives_native_traversal():
    leaf = Literal("x")

    class EdgesOnly(z.StateMachine):
        def get_edges(self, state):
            return [(leaf, "$")] if state == 0 else []

    m = EdgesOnly({0: []})  # the stored list is empty; only the override has an edge
    [(t, target)] = m.get_transitions(m.get_new_stepper())
    assert target == "$" and t.state_machine is leaf
    [s] = m.get_steppers()
    assert type(s) is z.Stepper and s.sub_stepper.state_machine is leaf
    assert [x.get_raw_value() for x in accepted(walk(m, "x"))] == ["x"]


@pytest.mark.parametrize("call_base", [
    lambda self, tok: super(type(self), self).consume(tok),
    lambda self, tok: z.Stepper.consume(self, tok),
], ids=["super", "base-class"])
def test_consume_override_reaches_native_base_without_recursion(call_base):
    calls = []

    class Counting(z.Stepper):
        def consume(self, token):
            calls.append(token)
            return call_base(self, token)

    class Outer(z.StateMachine):
        def get_new_stepper(self, state=None):
            return Counting(self, state)

    [s] = Outer({0: [(Literal("ab"), "$")]}).get_steppers()
    out = s.consume("ab")
    assert calls == ["ab"]
    assert [(type(r), r.current_state, r.get_raw_value()) for r in out] == [(Counting, "$", "ab")]


@pytest.mark.parametrize("name, result, trigger", [
    ("has_reached_accept_state", "yes", str),
    ("clone", 3, lambda s: s.start_step(z.Stepper(z.StateMachine()), 4)),
    ("get_valid_continuations", "ab",
     lambda s: z.Stepper(s.state_machine).start_step(s, 1).get_valid_continuations()),
])
def test_unconvertible_override_result_is_bad_cast(name, result, trigger):
    cls = type("Bad", (z.Stepper,), {name: lambda self, *a: result})
    s = cls(z.StateMachine({0: [(z.StateMachine(), 1)], 1: []}, end_states=[1]), 1)
    s.target_state = 1
    with pytest.raises(RuntimeError, match=r"^bad cast(\n|$)"):
        trigger(s)


def test_repr_of_subclass_without_override_honours_indentation_level():
    obj = type("Sub", (z.StateMachine,), {})({"s": [(z.StateMachine(), "$")]})
    for level in (0, 2):
        assert z.StateMachine.__repr__(obj, level) == \
            "Sub(graph={\n" + " " * (4 * level + 4) + "s: StateMachine --> \u2705\n})"


def test_dispatch_decision_is_cached_per_object():
    class LateMachine(z.StateMachine):
        pass

    class LateStepper(z.Stepper):
        pass

    parent = z.StateMachine({0: [(LateMachine(), "$")]})
    early = LateStepper(z.StateMachine(end_states=[0]))
    assert "LateMachine --> " in repr(parent) and str(early).startswith("\u2705 ")

    LateMachine.__str__ = lambda self: "late"
    LateStepper.has_reached_accept_state = lambda self: False

    assert "LateMachine --> " in repr(parent) and str(early).startswith("\u2705 ")
    assert "late --> " in repr(z.StateMachine({0: [(LateMachine(), "$")]}))
    assert not str(LateStepper(z.StateMachine(end_states=[0]))).startswith("\u2705")


class Boom(Exception):
    pass


@pytest.mark.parametrize("name", ["should_start_step", "consume", "has_reached_accept_state", "clone"])
def test_raising_override_propagates_and_leaves_stepper_unchanged(name):
    def boom(self, *args):
        raise Boom(name)

    cls = type("Raising", (LiteralStepper,), {name: boom})
    leaf = type("RaisingLiteral", (Literal,), {"get_new_stepper": lambda self, state=None: cls(self, state)})
    [s] = seq(leaf("ab")).get_steppers()
    sub = s.sub_stepper

    def snapshot():
        return (s.current_state, s.target_state, s.sub_stepper is sub, s.remaining_input,
                s._raw_value, len(s.history), s.consumed_character_count,
                sub._raw_value, sub.remaining_input, sub.consumed_character_count)

    before = snapshot()
    with pytest.raises(Boom, match=f"^{name}$"):
        s.consume("ab")
    assert snapshot() == before



def test_eager_stepper_without_sub_stepper_is_dropped():
    class Eager(z.Stepper):
        def should_start_step(self, token):
            return True

    m = z.StateMachine({0: [(Literal("a"), "$")]})
    assert m.advance_stepper(Eager(m), "a") == [] and Eager(m).consume("a") == []
