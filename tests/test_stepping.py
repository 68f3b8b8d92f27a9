"""The stepping protocol of Stepper: questions, start/complete, step, branch."""

import pytest
import zel_core as z

from grammar_kit import Literal, LiteralStepper, seq


def lit(text, value=None):
    s = LiteralStepper(Literal(text))
    return s if value is None else s.step(value)


def test_questions_without_and_with_sub_stepper():
    s = z.Stepper(seq(Literal("ab")))
    assert not (s.should_start_step("a") or s.accepts_any_token() or s.can_accept_more_input())
    assert s.get_valid_continuations() == s.get_invalid_continuations() == []
    assert not s.is_within_value()
    s.consumed_character_count = 1
    assert s.is_within_value()
    s.consumed_character_count = 0
    s.sub_stepper = lit("ab", "a")
    assert s.should_start_step("b") and not s.should_start_step("a")
    assert s.can_accept_more_input() and s.is_within_value()
    assert (s.get_valid_continuations(), s.get_invalid_continuations()) == (["b"], [])


@pytest.mark.parametrize("state, sub_value, expected", [
    ("$", None, True), ("$", "a", False), ("$", "ab", True), (0, "ab", False), (0, None, False),
])
def test_has_reached_accept_state(state, sub_value, expected):
    s = z.Stepper(seq(Literal("ab")), state)
    if sub_value is not None:
        s.sub_stepper = lit("ab", sub_value)
    assert s.has_reached_accept_state() is expected


def test_get_final_state():
    m = seq(Literal("ab"))
    done = z.Stepper(m, "$")
    assert [x is done for x in done.get_final_state()] == [True]
    parent = z.Stepper(m)
    assert parent.get_final_state() == []
    parent.sub_stepper = sub = lit("ab", "ab")
    assert [x is sub for x in parent.get_final_state()] == [True]
    parent.sub_stepper = lit("ab", "a")  # no final state below, but a value under way
    assert [x is parent for x in parent.get_final_state()] == [True]
    parent.sub_stepper = lit("ab")
    assert parent.get_final_state() == []


def test_start_step_refusals_and_success():
    s = z.Stepper(seq(Literal("ab")))
    assert s.start_step(lit("ab"), "$", "x") is None

    class NeverAsk(LiteralStepper):
        def should_start_step(self, token):
            raise AssertionError("asked")

    assert s.start_step(NeverAsk(Literal("ab")), "$") is not None
    s.target_state, s.sub_stepper = 3, lit("ab", "a")
    assert s.start_step(lit("c"), 3) is None
    new_sub = lit("c")
    moved = s.start_step(new_sub, 4)
    assert (moved.target_state, moved.sub_stepper is new_sub, moved.history) == (4, True, [])
    assert s.target_state == 3 and s.sub_stepper.get_raw_value() == "a"


def test_start_step_archives_accepted_sub_as_copy():
    s = z.Stepper(seq(Literal("ab")))
    s.sub_stepper = old = lit("ab", "ab")
    n = s.start_step(lit("c"), 2)
    [h] = n.history
    assert h is not old and type(h) is LiteralStepper and h.get_raw_value() == "ab"
    assert n.consumed_character_count == 2 and s.history == [] and s.consumed_character_count == 0


def test_complete_step_moves_remaining_input_up():
    parent = z.Stepper(seq(Literal("ab"), Literal("c")))
    parent.target_state = 1
    sub = lit("ab").step("ab", "zz")
    out = parent.complete_step(sub)
    assert sub.remaining_input is None and out and all(r.remaining_input == "zz" for r in out)
    assert (parent.remaining_input, parent.current_state, parent.target_state) == (None, 0, 1)
    [c] = parent.complete_step(lit("ab", "a"))  # not complete, kept because the sub can take more
    assert (c.current_state, c.target_state) == (0, 1)
    assert parent.complete_step(z.Stepper(z.StateMachine())) == []


def test_complete_step_none_moves_to_target_and_branches():
    m = z.StateMachine({5: [(Literal("x"), "$"), (Literal("y"), 6)]}, end_states=[5])
    s = z.Stepper(m)
    s.target_state = 5
    out = s.complete_step(None)
    assert [(r.current_state, r.target_state) for r in out] == [(5, None), (5, "$"), (5, 6)]
    assert [r.sub_stepper and r.sub_stepper.state_machine.text for r in out] == [None, "x", "y"]
    assert (s.current_state, s.target_state) == (0, 5)


@pytest.mark.parametrize("value, count", [("hello", 5), ("héllo", 5), ("日本", 2), ("😀a", 2), ("", 0)])
def test_step_counts_utf8_characters(value, count):
    s = lit("héllo")
    s.consumed_character_count = 40  # replaced, not added to
    n = s.step(value, "rest")
    assert (n.consumed_character_count, n._raw_value, n.remaining_input) == (count, value, "rest")
    assert (s._raw_value, s.consumed_character_count) == (None, 40)


def test_step_without_arguments_freezes_raw_value():
    s = z.Stepper(seq(Literal("ab")))
    s.history = [lit("ab", "ab")]
    s.sub_stepper = lit("c", "c")
    n = s.step()
    assert (n._raw_value, n.sub_stepper, n.remaining_input, n.consumed_character_count) == ("abc", None, None, 3)
    assert s.sub_stepper is not None and s._raw_value is None


def test_branch_through_sub_stepper():
    inner = seq(Literal("x"), Literal("y"))
    parent = z.Stepper(z.StateMachine({0: [(inner, "$")]}))
    parent.target_state = "$"
    parent.sub_stepper = z.Stepper(inner)  # wants to branch, not accepted
    [b] = parent.branch()
    assert b is not parent and (b.current_state, b.target_state) == (0, "$")
    assert b.sub_stepper.sub_stepper.state_machine.text == "x"
    parent.sub_stepper = lit("ab", "a")  # neither accepted nor branching
    assert parent.branch() == []
