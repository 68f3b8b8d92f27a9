"""Engine.consume and Engine.consume_text: advancing the live steppers by a
token id or by raw text, with and without token healing."""

import pytest
import zel_core as z
from engine_kit import make_engine, scripted
from zel.leaves import Literal

TEXTS = ["a", "b", "ab", "abc", "x", "c", "d"]
A, B, AB, ABC, X, C, D = range(len(TEXTS))


def two_words():
    # different target states keep the two steppers apart after "ab"
    return z.StateMachine({0: [(Literal("abc"), "$"), (Literal("abd"), 1)]}, end_states=["$", 1])


def state(e):
    return [(s.get_raw_value(), s.get_token_ids_history()) for s in e.steppers]


@pytest.mark.parametrize("healing", [True, False])
def test_consume_advances_and_records_ids(healing):
    e, _ = make_engine(TEXTS, two_words())
    assert e.consume(AB, healing) == AB
    assert state(e) == [("ab", [AB])] * 2 and not e.has_reached_accept_state
    assert e.consume(C, token_healing=healing) == C
    assert state(e) == [("abc", [AB, C])] and e.has_reached_accept_state


@pytest.mark.parametrize("token_id, healing", [(X, True), (99, True), (ABC, False), (B, True)])
def test_rejected_token_keeps_steppers(token_id, healing):
    e, _ = make_engine(TEXTS, Literal("ab"))
    [before] = e.steppers
    assert e.consume(token_id, healing) is None
    [after] = e.steppers
    assert after is before and after.get_token_ids_history() == []


def test_without_steppers():
    e, tok = make_engine(TEXTS)
    assert e.consume(A) is None and e.steppers == []
    e.consume_text("a")
    assert e.steppers == [] and tok.encoded == []


def test_healed_token_records_the_consumed_id():
    e, _ = make_engine(TEXTS, Literal("ab"))
    assert e.consume(ABC) == ABC  # "ab" matched, credited as the key "ab"
    assert state(e) == [("ab", [ABC])] and e.steppers[0].remaining_input is None
    assert e.has_reached_accept_state


@pytest.mark.parametrize("args, survivors", [((), 0), ((False,), 0), ((True,), 1)])
def test_consume_text_healing(args, survivors):
    e, _ = make_engine(TEXTS, Literal("ab"))
    e.consume_text("abc", *args)  # healing is off by default here
    assert state(e) == [("ab", [97, 98, 99])] * survivors


def test_consume_text_encodes_once_per_survivor():
    e, tok = make_engine(TEXTS, two_words())
    e.consume_text("ab")
    assert tok.encoded == ["ab", "ab"] and state(e) == [("ab", [97, 98])] * 2
    e.consume_text("x")  # rejected text leaves no steppers
    assert e.steppers == [] and tok.encoded == ["ab", "ab"]


def test_consume_text_is_one_token_without_expansion():
    e, _ = make_engine(TEXTS, Literal("abd"))
    e.multi_token_mapping = {A: [A, B, D]}
    e.consume_text("a")
    e.consume_text("bd")  # not a vocabulary text, still one token
    assert state(e) == [("abd", [97, 98, 100])]


@pytest.mark.parametrize("sampling, value, ids", [(True, "abc", [A, B, 99, C]), (False, "a", [A])])
def test_assigned_multi_token_mapping_expands_consumed_id_and_records_every_id(sampling, value, ids):
    e, _ = make_engine(TEXTS, Literal("abc"), multi_token_sampling=sampling)
    e.multi_token_mapping = {A: [A, B, 99, C]}  # an id without text adds nothing
    assert e.learned_sequence(A) == (ids if sampling else None)
    assert e.consume(A) == A
    assert state(e) == [(value, ids)]


@pytest.mark.parametrize("encode, ids, error", [
    (lambda text: (5, 6), [5, 6], None), (lambda text: [], [], None),
    (lambda text: [1.5], None, r"^bad cast(\n|$)"), (lambda text: "ab", None, r"^bad cast(\n|$)"),
    (lambda text: [2**31], None, r"^bad cast(\n|$)"), (None, None, ".*"),
])
def test_encode_results(encode, ids, error):
    e = z.Engine({"k": 0}, encode, lambda i: "a")
    e.steppers = [s := scripted()]
    if error is None:
        e.consume_text("a")
        assert state(e) == [("a", ids)]
    else:
        with pytest.raises(RuntimeError, match=error):
            e.consume_text("a")
        assert e.steppers[0] is s and s.get_raw_value() == ""
        e.steppers = [Literal("b").get_new_stepper()]
        e.consume_text("a", True)  # the encoder is not called when nothing survives
        assert e.steppers == []


@pytest.mark.parametrize("call, source", [
    (lambda e: e.consume(0), "stepper"), (lambda e: e.consume_text("ab"), "stepper"),
    (lambda e: e.consume_text("ab", True), "stepper"), (lambda e: e.consume_text("ab"), "encode"),
])
def test_exceptions_keep_steppers(call, source):
    error = UnicodeError("failed")

    def encode(text):
        raise error
    e = z.Engine({"k": 0}, encode, lambda i: "a")
    e.steppers = steppers = [scripted(), scripted(error=error if source == "stepper" else None)]
    with pytest.raises(UnicodeError) as caught:
        call(e)
    assert caught.value is error
    assert all(a is b for a, b in zip(e.steppers, steppers, strict=True))


@pytest.mark.parametrize("token_id", [-1, 2**32, 1.0, "1"])
def test_consume_rejects_non_token_ids(token_id):
    e, _ = make_engine(TEXTS, Literal("ab"))
    with pytest.raises(TypeError):
        e.consume(token_id)
