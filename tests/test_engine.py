"""Engine core: the vocabulary and its index, spelling text as tokens, reset
and introspection, consuming token ids and text."""

import gc
import json

import pytest
import zel_core as z
from engine_kit import Tokenizer, make_engine, run_isolated, scripted
from zel.leaves import Literal

TEXTS = ["a", "b", "ab", "abc", "x", "c", "d"]
A, B, AB, ABC, X, C, D = range(len(TEXTS))


def state(e):
    return [(s.get_raw_value(), s.get_token_ids_history()) for s in e.steppers]


def allowed(e, size=len(TEXTS) + 3):
    return {i for i, ok in enumerate(e.compute_token_mask(size)) if ok}


def two_words():
    # different target states keep the two steppers apart after "ab"
    return z.StateMachine({0: [(Literal("abc"), "$"), (Literal("abd"), 1)]}, end_states=["$", 1])


def test_vocabulary_is_keyed_by_decoded_text_and_word_boundary_is_a_space():
    tok = Tokenizer(["a", "b", "a"])
    e = z.Engine({"k2": 2, "k0": 0, "k1": 1, "again": 1}, tok.encode, tok.decode)
    assert sorted(e.vocabulary.get("a")) == [0, 2] and e.vocabulary.get("b") == [1, 1]
    assert e.vocabulary.size == 2 and e.reverse_vocabulary == {0: "a", 1: "b", 2: "a"}
    assert sorted(tok.decoded) == [[0], [1], [1], [2]]  # one id at a time

    def decode(ids):
        assert ids != [5], "decoded the word boundary key"
        return f"<{ids[0]}>"
    e = z.Engine({"\u2581x": 1, "\u2581\u2581": 2, "\u2581": 5}, None, decode)
    assert e.reverse_vocabulary == {1: "<1>", 2: "<2>", 5: " "} and e.vocabulary.get(" ") == [5]


@pytest.mark.parametrize("call", [
    lambda: z.Engine({"k": 0}, 3, str), lambda: z.Engine({"k": 0}, None, "x"),
    lambda: z.Stepper(z.StateMachine()).get_token_safe_output(1),
])
def test_tokenizer_functions_must_be_callable(call):
    with pytest.raises(TypeError):
        call()


def test_masks_follow_edits_through_the_live_view():
    e, _ = make_engine(["a", "b", "ax", "bx"], Literal("ab"), multi_token_sampling=False)
    view = e.vocabulary
    assert allowed(e) == {0, 2}
    view.insert("abc", 5)
    assert allowed(e) == {0, 2, 5} and e.break_into_tokens("abc") == {("abc",)}
    assert view.erase("ax") == 1
    assert allowed(e) == {0, 5}
    view.insert_all([("ay", 6)])
    assert allowed(e) == {0, 5, 6}
    view.clear()
    assert allowed(e) == set(range(10))  # nothing tokenizes the continuation any more
    view.insert("yz", 9)
    del e
    gc.collect()
    assert view.get("yz") == [9]  # the view keeps the Engine alive


def test_masks_follow_assigning_the_vocabulary_and_not_other_engines():
    engine, _ = make_engine(["a", "b", "ax", "bx"], Literal("ab"), multi_token_sampling=False)
    other, _ = make_engine(["a", "b", "ax", "bx"], Literal("ab"), multi_token_sampling=False)
    assert allowed(engine) == allowed(other) == {0, 2}
    replacement = z.TrieMap()
    replacement.insert_all([("a", 1), ("ab", 4), ("b", 3)])
    engine.vocabulary = replacement
    assert allowed(engine) == {1, 4}
    other.vocabulary.insert("a!", 7)
    assert allowed(other) == {0, 2, 7} and allowed(engine) == {1, 4}


EMPTY_KEY = """
import json
from engine_kit import make_engine
e, _ = make_engine(["", "a", "b"])
print(json.dumps([sorted(e.break_into_tokens(text)) for text in ["ab", "ac", "a", "c", ""]]))
"""


def test_an_empty_key_does_not_stop_spelling_from_ending():
    # a token that decodes to "" is a key that matches everywhere and consumes nothing
    done = run_isolated(EMPTY_KEY, timeout=30)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[["a", "b"]], [], [["a"]], [], []]


def test_reset():
    e, _ = make_engine(TEXTS)
    e.steppers = [s := scripted()]
    e.reset()
    assert e.steppers == [s]  # no grammar: nothing changes
    e.state_machine = m = z.StateMachine({0: [(Literal("ab"), "$"), (Literal("x"), "$")]})
    assert e.steppers == [s]  # assigning a grammar does not reset
    e.multi_token_mapping = {A: [A, B]}
    e.reset()
    assert len(e.steppers) == 2 and e.consume(A) == A
    e.reset()
    assert state(e) == [("", [])] * 2 and e.multi_token_mapping == {A: [A, B]} and e.state_machine is m

    class Broken(z.StateMachine):
        def get_steppers(self, state=None):
            raise LookupError("no start")
    before = e.steppers
    e.state_machine = Broken()
    with pytest.raises(LookupError, match="no start"):
        e.reset()
    assert all(a is b for a, b in zip(e.steppers, before, strict=True))
    e.reset(hard_reset=True)
    assert e.state_machine is None and e.steppers == []


@pytest.mark.parametrize("grammar, accepted, expected", [
    (False, [True], False), (True, [], False), (True, [False, False], False), (True, [False, True], True),
])
def test_has_reached_accept_state(grammar, accepted, expected):
    e, _ = make_engine(TEXTS, z.StateMachine() if grammar else None)
    e.steppers = [scripted(accepted=flag) for flag in accepted]
    assert e.has_reached_accept_state is expected


@pytest.mark.parametrize("grammar, names, expected", [
    (True, ["x", None], "x"), (True, [None, "x", "x"], "x"), (True, ["x", "y"], None), (True, [None], None),
    (True, [], None), (False, ["x"], None),
])
def test_get_current_state(grammar, names, expected):
    e, _ = make_engine(TEXTS, z.StateMachine() if grammar else None)
    e.steppers = [z.Stepper(z.StateMachine(identifier=name)) for name in names]
    assert e.get_current_state() == expected


def test_live_token_safe_output():
    class Finals(z.Stepper):
        def get_final_state(self):
            return [z.Stepper(z.StateMachine()), self.full]  # the first one's output is empty
    e, _ = make_engine(TEXTS, z.StateMachine())
    assert e.get_live_token_safe_output(str) is None  # no steppers
    e.steppers = [named := Finals(z.StateMachine(identifier="x"))]
    named.full = z.Stepper(z.StateMachine())
    named.full._raw_value = "ab"
    assert e.get_live_token_safe_output(str) == ("ab", "x")
    e.steppers = [z.Stepper(z.StateMachine(identifier="y")), named]
    assert e.get_live_token_safe_output(str) is None  # x and y disagree
    # recorded token ids are decoded by the function given, not the Engine's own
    e, _ = make_engine(TEXTS, z.StateMachine({0: [(Literal("ab"), "$")]}, identifier="word"))
    assert e.consume(A) == A and e.consume(B) == B
    assert e.get_live_token_safe_output(lambda ids: f"decoded {ids}") == ("decoded [0, 1]", "word")


@pytest.mark.parametrize("healing", [True, False])
def test_consume_advances_and_records_ids(healing):
    e, _ = make_engine(TEXTS, two_words())
    assert e.consume(AB, healing) == AB
    assert state(e) == [("ab", [AB])] * 2 and not e.has_reached_accept_state
    assert e.consume(C, token_healing=healing) == C
    assert state(e) == [("abc", [AB, C])] and e.has_reached_accept_state


@pytest.mark.parametrize("token_id, healing", [(X, True), (99, True), (ABC, False), (B, True)])
def test_refused_token_keeps_steppers(token_id, healing):
    e, _ = make_engine(TEXTS, Literal("ab"))
    [before] = e.steppers
    assert e.consume(token_id, healing) is None
    assert e.steppers[0] is before and before.get_token_ids_history() == []


def test_healed_token_records_the_consumed_id():
    e, _ = make_engine(TEXTS, Literal("ab"))
    assert e.consume(ABC) == ABC  # "ab" matched, credited as the key "ab"
    assert state(e) == [("ab", [ABC])] and e.steppers[0].remaining_input is None


@pytest.mark.parametrize("args, survivors", [((), 0), ((False,), 0), ((True,), 1)])
def test_consume_text_healing(args, survivors):
    e, _ = make_engine(TEXTS, Literal("ab"))
    e.consume_text("abc", *args)  # healing is off by default here
    assert state(e) == [("ab", [97, 98, 99])] * survivors


def test_consume_text_encodes_once_per_survivor_and_is_one_token():
    e, tok = make_engine(TEXTS, two_words())
    e.multi_token_mapping = {A: [A, B, D]}
    e.consume_text("a")
    e.consume_text("b")
    assert tok.encoded == ["a", "a", "b", "b"] and state(e) == [("ab", [97, 98])] * 2
    e.consume_text("x")  # refused text leaves no steppers, and nothing is encoded
    assert e.steppers == [] and tok.encoded == ["a", "a", "b", "b"]
    e.consume_text("a")
    assert e.steppers == [] and e.consume(A) is None


@pytest.mark.parametrize("sampling, value, ids", [(True, "abc", [A, B, 99, C]), (False, "a", [A])])
def test_assigned_multi_token_mapping_expands_consumed_id_and_records_every_id(sampling, value, ids):
    e, _ = make_engine(TEXTS, Literal("abc"), multi_token_sampling=sampling)
    e.multi_token_mapping = {A: [A, B, 99, C]}  # an id without text adds nothing
    assert e.learned_sequence(A) == (ids if sampling else None)
    assert e.consume(A) == A
    assert state(e) == [(value, ids)]


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
