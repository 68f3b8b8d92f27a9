"""Engine: construction, the vocabulary, properties, reset, introspection and
garbage collection."""

import gc
import weakref

import pytest
import zel_core as z
from engine_kit import Scripted, Tokenizer, make_engine, scripted
from zel.leaves import Literal

TEXTS = ["a", "b", "ab", "x"]


def test_defaults_and_keywords():
    e, tok = make_engine(TEXTS)
    assert (e.strict, e.state_machine, e.steppers, e.multi_token_mapping) == (False, None, [], {})
    assert e.has_reached_accept_state is False and e.reverse_vocabulary == dict(enumerate(TEXTS))
    assert sorted(tok.decoded) == [[0], [1], [2], [3]]  # one call per entry, one id at a time
    e = z.Engine(vocabulary={"k": 0}, encode_function=None, decode_function=str, strict=True,
                 multi_token_sampling=False, max_resamples=0, control_tokens=(1,))
    e.steppers = [scripted()]
    assert e.strict is True and e.compute_token_mask(2) == [True, False]  # control token blocked


@pytest.mark.parametrize("kwargs", [
    {"strict": 1}, {"multi_token_sampling": 0}, {"strict": None}, {"vocabulary": {1: 0}},
    {"vocabulary": {"k": -1}}, {"vocabulary": {"k": "0"}}, {"vocabulary": ["k"]}, {"encode_function": 3},
    {"decode_function": "x"}, {"control_tokens": [-1]}, {"control_tokens": "ab"}, {"max_resamples": 2**31},
])
def test_wrong_argument_types(kwargs):
    tok = Tokenizer(["a"])
    with pytest.raises(TypeError):
        z.Engine(**{"vocabulary": {"k": 0}, "encode_function": tok.encode, "decode_function": tok.decode, **kwargs})
    assert tok.decoded == []


def test_vocabulary_is_keyed_by_decoded_text():
    tok = Tokenizer(["a", "b", "a"])
    e = z.Engine({"k2": 2, "k0": 0, "k1": 1, "again": 1}, tok.encode, tok.decode)
    assert sorted(e.vocabulary.get("a")) == [0, 2] and e.vocabulary.get("b") == [1, 1]
    assert e.vocabulary.size == 2 and e.reverse_vocabulary == {0: "a", 1: "b", 2: "a"}


def test_word_boundary_key_is_a_space_without_decoding():
    def decode(ids):
        assert ids != [5], "decoded the word boundary key"
        return f"<{ids[0]}>"
    for fn in (None, decode):
        e = z.Engine({"\u2581": 5}, None, fn)
        assert e.reverse_vocabulary == {5: " "} and e.vocabulary.get(" ") == [5] and e.vocabulary.size == 1
    e = z.Engine({"\u2581x": 1, "\u2581\u2581": 2, "\u2581": 5}, None, decode)
    assert e.reverse_vocabulary == {1: "<1>", 2: "<2>", 5: " "}
    assert z.Engine({}, None, None).vocabulary.empty


def test_decode_failures():
    error = KeyError("no such token")

    def raising(ids):
        raise error
    with pytest.raises(KeyError) as caught:
        z.Engine({"k": 0}, None, raising)
    assert caught.value is error
    with pytest.raises(RuntimeError, match=r"^bad cast(\n|$)"):
        z.Engine({"k": 0}, None, lambda ids: b"a")
    with pytest.raises(RuntimeError):
        z.Engine({"k": 0}, None, None)


def test_vocabulary_is_a_live_view():
    e, _ = make_engine(TEXTS)
    view = e.vocabulary
    assert e.break_into_tokens("yz") == set()
    view.insert("yz", 9)
    assert e.vocabulary.get("yz") == [9] and e.break_into_tokens("yz") == {("yz",)}
    del e
    gc.collect()
    assert view.get("yz") == [9]  # the view keeps the Engine alive


def test_setters_copy_and_getters_are_fresh():
    e, _ = make_engine(TEXTS)
    trie, reverse, mapping, steppers = z.TrieMap(), {7: "q"}, {1: [1, 2]}, [scripted()]
    trie.insert("q", 1)
    e.vocabulary, e.reverse_vocabulary, e.multi_token_mapping, e.steppers = trie, reverse, mapping, steppers
    trie.insert("r", 2)
    reverse[8] = "r"
    mapping[1].append(3)
    steppers.append(scripted())
    e.reverse_vocabulary[9] = "s"
    e.multi_token_mapping[1].append(4)
    e.steppers.clear()
    assert e.vocabulary.get("q") == [1] and e.vocabulary.get("r") is None
    assert e.reverse_vocabulary == {7: "q"} and e.multi_token_mapping == {1: [1, 2]}
    assert len(e.steppers) == 1 and e.steppers[0] is steppers[0]


def test_state_machine_setter_leaves_steppers():
    e, _ = make_engine(TEXTS)
    e.state_machine = m = Literal("ab", identifier="word")
    assert e.state_machine is m and e.steppers == []
    e.steppers = [s := m.get_new_stepper()]
    e.state_machine = None
    assert e.state_machine is None and e.get_current_state() is None and e.steppers[0] is s
    e.state_machine = z.StateMachine()
    assert e.get_current_state() == "word" and e.steppers[0] is s


@pytest.mark.parametrize("grammar, accepted, expected", [
    (False, [True], False), (True, [], False), (True, [False, False], False), (True, [False, True], True),
])
def test_has_reached_accept_state(grammar, accepted, expected):
    e, _ = make_engine(TEXTS, z.StateMachine() if grammar else None)
    e.steppers = [scripted(accepted=flag) for flag in accepted]
    assert e.has_reached_accept_state is expected


def test_reset():
    e, _ = make_engine(TEXTS)
    s = scripted()
    e.steppers = [s]
    e.reset()
    assert e.steppers == [s]  # no grammar: nothing changes
    e.state_machine = m = z.StateMachine({0: [(Literal("ab"), "$"), (Literal("x"), "$")]})
    e.multi_token_mapping = {0: [0, 1]}
    e.reset()
    assert len(e.steppers) == 2 and e.consume(0) == 0
    e.reset()
    assert [t.get_raw_value() for t in e.steppers] == ["", ""]
    assert e.multi_token_mapping == {0: [0, 1]} and e.state_machine is m
    e.reset(hard_reset=True)
    assert e.state_machine is None and e.steppers == []


def test_reset_failure_keeps_steppers():
    class Broken(z.StateMachine):
        def get_steppers(self, state=None):
            raise LookupError("no start")
    e, _ = make_engine(TEXTS)
    e.steppers, e.state_machine = [s := scripted()], Broken()
    with pytest.raises(LookupError, match="no start"):
        e.reset()
    assert e.steppers[0] is s


@pytest.mark.parametrize("names, expected", [
    (["x", None], "x"), ([None, "x", "x"], "x"), (["x", "y"], None), ([None], None), ([], None),
])
def test_get_current_state(names, expected):
    e, _ = make_engine(TEXTS, z.StateMachine())
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
    assert e.consume(0) == 0 and e.consume(1) == 1
    assert e.get_live_token_safe_output(lambda ids: f"decoded {ids}") == ("decoded [0, 1]", "word")


def test_text_form():
    e, _ = make_engine(TEXTS)
    assert str(e) == repr(e) == "\n\n"
    e.state_machine = z.StateMachine({0: [(Literal("ab"), "$"), (Literal("x"), "$")]})
    e.reset()
    first, second = e.steppers
    assert str(e) == repr(e) == f"\n{first!r}, {second!r}\n"


@pytest.mark.parametrize("via", ["steppers", "state_machine", "callables"])
def test_reference_cycles_are_collected(via):
    tok, m = Tokenizer(TEXTS), Scripted()
    (tok if via == "callables" else m).engine = e = z.Engine({"k": 0}, tok.encode, tok.decode)
    if via == "steppers":
        e.steppers = [m.get_new_stepper()]
    elif via == "state_machine":
        e.state_machine = m
    alive = weakref.ref(tok if via == "callables" else m)
    del e, m, tok
    gc.collect()
    assert alive() is None
