"""Creating, branching and advancing steppers through a machine's graph."""

import pytest
import zel_core as z

from grammar_kit import CharClass, Literal, accepted, advance, alt, seq, walk


def test_get_steppers_at_states_without_and_with_empty_edges():
    m = z.StateMachine({1: [(Literal("a"), "$")], 2: []}, start_state="begin")
    [s] = m.get_steppers()
    assert (type(s), s.current_state, s.sub_stepper) == (z.Stepper, "begin", None)
    assert [s.current_state for s in m.get_steppers(7)] == [7]
    assert m.get_steppers(2) == []
    assert [m.get_edges(x) for x in (5, "1", "begin")] == [[], [], []]


def test_transitions_follow_edge_order_then_sub_machine_order():
    class Two(z.StateMachine):
        def get_steppers(self, state=None):
            return [z.Stepper(self, "x"), z.Stepper(self, "y")]

    m1, m2 = Two(), z.StateMachine()
    m = z.StateMachine({0: [(m1, "a"), (m2, "b")]})
    got = [(s.state_machine, s.current_state, t) for s, t in m.get_transitions(m.get_new_stepper())]
    assert got == [(m1, "x", "a"), (m1, "y", "a"), (m2, 0, "b")]
    assert [s.sub_stepper.current_state for s in m.get_steppers()] == ["x", "y", 0]


def test_optional_sub_machine_is_started_then_skipped():
    a, b = Literal("a", is_optional=True), Literal("b")
    m = seq(a, b)
    res = m.branch_stepper(m.get_new_stepper())
    assert [(s.current_state, s.target_state, s.sub_stepper.state_machine) for s in res] == \
        [(0, 1, a), (1, "$", b)]
    assert [s.get_raw_value() for s in accepted(walk(m, "b")) + accepted(walk(m, "ab"))] == ["b", "ab"]
    tail = seq(Literal("a"), Literal("b", is_optional=True))
    assert [s.current_state for s in accepted(walk(tail, "a"))] == ["$"]


def test_branch_stepper_token_filters_transitions():
    m = alt(Literal("a"), Literal("b"))
    assert [s.sub_stepper.state_machine.text for s in m.branch_stepper(m.get_new_stepper(), "b")] == ["b"]
    assert m.branch_stepper(m.get_new_stepper(), "c") == []


def test_advance_stepper_without_sub_stepper_is_empty():
    m = seq(Literal("a"))
    assert m.advance_stepper(m.get_new_stepper(), "a") == [] and z.Stepper(m).consume("a") == []


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


@pytest.mark.parametrize("tokens", ["[1,23]", ["[1,23]"], ["[1", ",2", "3]"], ["[", "1,", "23", "]"]])
def test_walk_loop_grammar_end_to_end(tokens):
    done = accepted(walk(list_grammar(), tokens))
    assert [(s.get_raw_value(), s.get_current_value()) for s in done] == [("[1,23]", [1, 23])]


@pytest.mark.parametrize("tokens, live", [("[1,]", False), ("[a", False), ("[12", True)])
def test_walk_loop_grammar_rejects_or_waits(tokens, live):
    steppers = walk(list_grammar(), tokens)
    assert accepted(steppers) == [] and bool(steppers) == live


def test_identifier_of_innermost_named_rule_while_walking():
    assert {s.get_identifier() for s in walk(list_grammar(), "[1")} == {"num", "list"}


def test_ambiguous_alternation_splits_into_several_steppers():
    lit_ab, lit_abc, cls = Literal("ab"), Literal("abc"), CharClass("abc", max=2)
    live = walk(alt(lit_ab, lit_abc, cls), "ab")
    assert [(s.sub_stepper or s.history[-1]).state_machine for s in live] == [lit_ab, lit_abc, cls]
    assert [s.has_reached_accept_state() for s in live] == [True, False, True]
    [only] = advance(live, "c")
    assert only.history[-1].state_machine is lit_abc and only.has_reached_accept_state()


@pytest.mark.parametrize("k", [1, 4, 16, 60])
def test_skipping_optional_alternatives_walks_each_state_once(k):
    # Each of k states has two optional alternatives to the next state; skipping
    # either arrives at the same place, which is walked once (not 2**k times).
    graph = {i: [(z.StateMachine(is_optional=True, identifier=f"a{i}"), i + 1),
                 (z.StateMachine(is_optional=True, identifier=f"b{i}"), i + 1)] for i in range(k)}
    graph[k] = [(Literal("x"), "$")]
    steppers = z.StateMachine(graph).get_steppers()
    assert len(steppers) == 2 * k + 1
    assert sorted(s.current_state for s in steppers) == sorted([*range(k), *range(k), k])
    assert [s.get_raw_value() for s in z.StateMachine.advance_all_basic(steppers, "x")] == ["x"]
