"""Walking a machine's graph: creating and branching steppers, the stepping
protocol (start, complete, step) and advancing through nested machines."""

import pytest
import zel_core as z

from grammar_kit import CharClass, Literal, LiteralStepper, accepted, advance, alt, seq, walk


def lit(text, value=None):
    s = LiteralStepper(Literal(text))
    return s if value is None else s.step(value)


def test_transitions_follow_edge_order_then_sub_machine_order():
    class Two(z.StateMachine):
        def get_steppers(self, state=None):
            return [z.Stepper(self, "x"), z.Stepper(self, "y")]

    m1, m2 = Two(), z.StateMachine()
    m = z.StateMachine({0: [(m1, "a"), (m2, "b")]})
    got = [(s.state_machine, s.current_state, t) for s, t in m.get_transitions(m.get_new_stepper())]
    assert got == [(m1, "x", "a"), (m1, "y", "a"), (m2, 0, "b")]


def test_optional_sub_machine_is_started_then_skipped():
    a, b = Literal("a", is_optional=True), Literal("b")
    m = seq(a, b)
    res = m.branch_stepper(m.get_new_stepper())
    assert [(s.current_state, s.target_state, s.sub_stepper.state_machine) for s in res] == \
        [(0, 1, a), (1, "$", b)]
    assert [s.get_raw_value() for s in accepted(walk(m, "b")) + accepted(walk(m, "ab"))] == ["b", "ab"]
    tail = seq(Literal("a"), Literal("b", is_optional=True))
    assert [s.current_state for s in accepted(walk(tail, "a"))] == ["$"]


@pytest.mark.parametrize("token, remaining, state, raw", [
    ("abc", None, "$", "abc"),   # leftover "c" is fed to the next literal
    ("abx", "x", 1, "ab"),       # nothing can take "x": it stays on the stepper
])
def test_leftover_input_requeued_or_kept(token, remaining, state, raw):
    [s] = seq(Literal("ab"), Literal("c")).get_steppers()[0].consume(token)
    assert (s.remaining_input, s.current_state, s.get_raw_value()) == (remaining, state, raw)


def test_queue_settles_direct_results_before_requeued_ones():
    class SplitStepper(z.Stepper):
        def should_start_step(self, token):
            return True

        def consume(self, token):  # two readings of "ab": "a" plus leftover, or all of it
            return [self.step("a", "b"), self.step("ab", None)]

        def has_reached_accept_state(self):
            return self._raw_value is not None

    split = type("Split", (z.StateMachine,), {"get_new_stepper": lambda self, s=None: SplitStepper(self, s)})
    res = walk(seq(split(), CharClass("b")), ["ab"])
    assert [(s.history[0].get_raw_value(), s.sub_stepper.get_raw_value()) for s in res] == \
        [("ab", ""), ("a", "b")]


def list_grammar():
    return z.StateMachine({
        0: [(Literal("["), 1)],
        1: [(CharClass("0123456789", identifier="num"), 2)],
        2: [(Literal(","), 1), (Literal("]"), "$")],
    }, identifier="list")


@pytest.mark.parametrize("tokens, value, live", [
    ("[1,23]", [1, 23], True), (["[1,23]"], [1, 23], True), (["[1", ",2", "3]"], [1, 23], True),
    (["[", "1,", "23", "]"], [1, 23], True), ("[1,]", None, False), ("[a", None, False), ("[12", None, True),
])
def test_walk_loop_grammar(tokens, value, live):
    steppers = walk(list_grammar(), tokens)
    assert [s.get_current_value() for s in accepted(steppers)] == ([value] if value else [])
    assert bool(steppers) == live


def test_ambiguous_alternation_splits_into_several_steppers():
    lit_ab, lit_abc, cls = Literal("ab"), Literal("abc"), CharClass("abc", max=2)
    live = walk(alt(lit_ab, lit_abc, cls), "ab")
    assert [(s.sub_stepper or s.history[-1]).state_machine for s in live] == [lit_ab, lit_abc, cls]
    assert [s.has_reached_accept_state() for s in live] == [True, False, True]
    [only] = advance(live, "c")
    assert only.history[-1].state_machine is lit_abc and only.has_reached_accept_state()


@pytest.mark.parametrize("k", [4, 16])
def test_skipping_optional_alternatives_walks_each_state_once(k):
    # Each of k states has two optional alternatives to the next state; skipping
    # either arrives at the same place, which is walked once (not 2**k times).
    graph = {i: [(z.StateMachine(is_optional=True, identifier=f"a{i}"), i + 1),
                 (z.StateMachine(is_optional=True, identifier=f"b{i}"), i + 1)] for i in range(k)}
    graph[k] = [(Literal("x"), "$")]
    steppers = z.StateMachine(graph).get_steppers()
    assert sorted(s.current_state for s in steppers) == sorted([*range(k), *range(k), k])
    assert [s.get_raw_value() for s in z.StateMachine.advance_all_basic(steppers, "x")] == ["x"]


@pytest.mark.parametrize("state, sub_value, expected", [
    ("$", None, True), ("$", "a", False), ("$", "ab", True), (0, "ab", False),
])
def test_has_reached_accept_state(state, sub_value, expected):
    s = z.Stepper(seq(Literal("ab")), state)
    if sub_value is not None:
        s.sub_stepper = lit("ab", sub_value)
    assert s.has_reached_accept_state() is expected


def test_get_final_state():
    parent = z.Stepper(seq(Literal("ab")))
    assert parent.get_final_state() == []
    parent.sub_stepper = sub = lit("ab", "ab")
    assert [x is sub for x in parent.get_final_state()] == [True]
    parent.sub_stepper = lit("ab", "a")  # no final state below, but a value under way
    assert [x is parent for x in parent.get_final_state()] == [True]
    done = z.Stepper(parent.state_machine, "$")
    assert [x is done for x in done.get_final_state()] == [True]


def test_start_step_refusals_and_archiving():
    s = z.Stepper(seq(Literal("ab")))
    assert s.start_step(lit("ab"), "$", "x") is None
    s.target_state, s.sub_stepper = 3, lit("ab", "a")
    assert s.start_step(lit("c"), 3) is None
    s.sub_stepper = old = lit("ab", "ab")
    n = s.start_step(new_sub := lit("c"), 4)
    [h] = n.history
    assert (n.target_state, n.sub_stepper is new_sub, n.consumed_character_count) == (4, True, 2)
    assert h is not old and type(h) is LiteralStepper and h.get_raw_value() == "ab"
    assert s.target_state == 3 and s.history == [] and s.consumed_character_count == 0


def test_complete_step_moves_remaining_input_up_and_branches():
    parent = z.Stepper(seq(Literal("ab"), Literal("c")))
    parent.target_state = 1
    sub = lit("ab").step("ab", "zz")
    out = parent.complete_step(sub)
    assert sub.remaining_input is None and out and all(r.remaining_input == "zz" for r in out)
    assert (parent.remaining_input, parent.current_state, parent.target_state) == (None, 0, 1)
    [c] = parent.complete_step(lit("ab", "a"))  # not complete, kept because the sub can take more
    assert (c.current_state, c.target_state) == (0, 1)
    s = z.Stepper(z.StateMachine({5: [(Literal("x"), "$"), (Literal("y"), 6)]}, end_states=[5]))
    s.target_state = 5
    out = s.complete_step(None)
    assert [(r.current_state, r.target_state) for r in out] == [(5, None), (5, "$"), (5, 6)]
    assert [r.sub_stepper and r.sub_stepper.state_machine.text for r in out] == [None, "x", "y"]


@pytest.mark.parametrize("value, count", [("héllo", 5), ("日本", 2), ("😀a", 2), ("", 0)])
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
