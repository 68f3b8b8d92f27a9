"""Exact masks: fill_next_token_bitmask and mask_scores_exactly allow a token exactly when
consume(t, token_healing=False) would keep a stepper."""

import ctypes
import random

import numpy as np
import pytest
import zel_core as z
import zel_core.leaves as native
from engine_kit import Scripted, make_engine
from hypothesis import given
from hypothesis import strategies as st
from test_properties import examples
from zel.json_grammar import json_object_grammar, random_document
from zel.leaves import CharacterClass, Literal
from zel.vocabularies import synthetic_vocabulary


def exact_mask(engine, size):
    bitmask = np.zeros((1, (size + 31) // 32), dtype=np.int32)
    engine.fill_next_token_bitmask(bitmask)
    return np.unpackbits(bitmask.view(np.uint8), bitorder="little")[:size].astype(bool)


def consumable(engine, size):
    start, valid = engine.steppers, np.zeros(size, dtype=bool)
    for token in range(size):
        valid[token] = engine.consume(token, token_healing=False) is not None
        engine.steppers = start
    return valid



@pytest.mark.parametrize("seed", range(4))
def test_mask_is_exact_along_json_documents(seed):
    vocabulary = synthetic_vocabulary(1024, seed=seed)
    engine = z.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode, multi_token_sampling=False)
    engine.state_machine = json_object_grammar()
    ids = vocabulary.encode(random_document(random.Random(seed)))
    for cut in sorted(random.Random(seed).sample(range(len(ids)), min(4, len(ids)))) + [len(ids)]:
        engine.reset()
        for token in ids[:cut]:
            assert engine.consume(token, token_healing=False) is not None
        assert (exact_mask(engine, vocabulary.size) == consumable(engine, vocabulary.size)).all()


def test_control_tokens_open_once_the_grammar_may_end_and_empty_texts_never():
    texts = ["a", "b", "<end>", ""]
    engine, _ = make_engine(texts, Scripted(), control_tokens=[2])
    assert exact_mask(engine, 4).tolist() == [True, True, False, False]
    engine.state_machine.accepted = True
    assert exact_mask(engine, 4).tolist() == [True, True, True, False]
    engine, _ = make_engine(texts, CharacterClass("a", 1, 2), control_tokens=[2])
    engine.consume(0, token_healing=False)
    assert exact_mask(engine, 4).tolist() == [True, False, True, False]
    engine.consume(0, token_healing=False)
    assert exact_mask(engine, 4).tolist() == [False, False, True, False]
    engine.steppers = []  # a grammar with no steppers: only control tokens
    assert exact_mask(engine, 4).tolist() == [False, False, True, False]
    engine.reset(hard_reset=True)  # no grammar: every token
    assert exact_mask(engine, 4).tolist() == [True] * 4



def test_bitmask_layout_rows_and_padding():
    engine, _ = make_engine(["b"] * 40 + ["a"], Literal("a"))
    bitmask, strided = np.full((3, 3), -1, dtype=np.int32), np.full((2, 6), -1, dtype=np.int32)
    engine.fill_next_token_bitmask(bitmask, index=1)
    engine.fill_next_token_bitmask(strided[:, ::3], index=0)
    assert bitmask.tolist() == [[-1] * 3, [0, 1 << 8, 0], [-1] * 3]
    assert strided[0].tolist() == [0, -1, -1, 1 << 8, -1, -1]


FROZEN = np.broadcast_to(np.zeros(2, np.int32), (1, 2))  # a read-only view


@pytest.mark.parametrize("array, index, error, message", [
    (np.zeros((1, 2), np.float32), 0, TypeError, "int32"), (np.zeros((1, 2), np.int64), 0, TypeError, "int32"),
    ([[0, 0]], 0, TypeError, "must be an array"), (np.zeros(2, np.int32), 0, ValueError, "two-dimensional"),
    (np.zeros((1, 1), np.int32), 0, ValueError, "needs 2"),
    (np.zeros((1, 2), np.int32)[:, :0], 0, ValueError, "needs 2"),
    (np.zeros((2, 2), np.int32), -1, IndexError, "out of range"),
    (np.zeros((2, 2), np.int32), 2, IndexError, "out of range"), (FROZEN, 0, RuntimeError, "read-only"),
    (np.zeros((1, 1, 33), np.float32), None, ValueError, None),  # no index: scores
    (np.zeros((1, 33), np.int32), None, TypeError, None),
    (np.zeros((1, 33), np.complex64), None, TypeError, None),
])
def test_arrays_are_checked_before_writing(array, index, error, message):
    engine, _ = make_engine(["a"] * 33, Literal("a"))
    with pytest.raises(error, match=message):
        if index is None:
            engine.mask_scores_exactly(array)
        else:
            engine.fill_next_token_bitmask(array, index=index)
    assert not np.any(array)


def test_a_leaf_error_propagates_and_writes_nothing():
    engine, _ = make_engine(["a", "b"], Scripted(error=KeyError("leaf")))
    bitmask = np.full((1, 1), 7, dtype=np.int32)
    with pytest.raises(KeyError):
        engine.fill_next_token_bitmask(bitmask)
    assert bitmask.tolist() == [[7]]



BLOCKED = {np.float64: -np.inf, np.float32: -np.inf, np.float16: -np.inf, np.int8: -128}


@pytest.mark.parametrize("dtype", list(BLOCKED))
@pytest.mark.parametrize("layout", ["1-D", "2-D", "strided", "reversed"])
def test_scores_are_masked_in_place(dtype, layout):
    engine, _ = make_engine(["a", "b", "ab", "c"], Literal("ab"))
    big = np.ones((4, 12), dtype=dtype)
    scores = {"1-D": big[0, :4], "2-D": big[:2, :4], "strided": big[::2, 1::3],
              "reversed": big[::-1, 3::-1]}[layout]
    assert engine.mask_scores_exactly(scores) is scores
    expected = np.where([True, False, True, False], np.ones(4, dtype=dtype), BLOCKED[dtype])
    assert (scores == np.broadcast_to(expected, scores.shape)).all()
    assert (big == 1).sum() == big.size - (scores.size // 2)


class Bfloat16View:
    """Exports a uint16 array through DLPack as bfloat16, as libraries with a bfloat16 type do."""

    def __init__(self, array):
        self.array, self.__dlpack_device__ = array, array.__dlpack_device__

    def __dlpack__(self, **options):
        capsule = self.array.__dlpack__()
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        ctypes.c_uint8.from_address(get_pointer(capsule, b"dltensor") + 20).value = 4  # dtype.code
        return capsule


def test_bfloat16_scores_through_dlpack():
    engine, _ = make_engine(["a", "b", "c"], Literal("a"))
    patterns = np.zeros((2, 3), dtype=np.uint16)
    with pytest.raises(RuntimeError, match="Unsupported tensor dtype"):  # it is seen as bfloat16
        engine.mask_invalid_tokens(Bfloat16View(patterns))
    engine.mask_scores_exactly(Bfloat16View(patterns))
    assert patterns.tolist() == [[0, 0xFF80, 0xFF80]] * 2



LETTERS = "abcé"
WORDS = st.text(LETTERS, min_size=1, max_size=3)
PATTERNS = ["a+b?", "(ab|é)*c", "[a-c]{1,3}", "é?[^a]", "b|ba|bac", "(a|b)*é+"]


class Container(z.StateMachine):
    """Overrides nothing: its traversal stays native."""


class RoutedContainer(z.StateMachine):
    def get_edges(self, state):  # edges from Python
        return super().get_edges(state)


@st.composite
def native_leaves(draw, name, optional):
    kind, text = draw(st.sampled_from(["literal", "class", "regex", "python"])), draw(WORDS)
    options = {"identifier": name, "is_optional": optional and draw(st.booleans())}
    if kind == "literal":
        return native.Literal(text, **options)
    if kind == "class":
        low = draw(st.integers(1, 2))
        return native.CharacterClass(text, low, draw(st.none() | st.integers(low, 3)), **options)
    if kind == "regex":
        return native.Regex(draw(st.sampled_from(PATTERNS)), whole_tokens=draw(st.booleans()), **options)
    return CharacterClass(text, 1, 2, identifier=name)


@st.composite
def mixed_grammars(draw):
    """Chains of leaves or choices of two (in any kind of container), optionally looping back."""
    slots, loop = [], draw(st.booleans())
    for i in range(draw(st.integers(1, 3))):
        # An optional leaf in a loop would let the loop go round on nothing.
        choices = [draw(native_leaves(f"leaf{i}.{j}", not loop)) for j in range(draw(st.integers(1, 2)))]
        container = draw(st.sampled_from([z.StateMachine, Container, RoutedContainer]))
        slots.append(choices[0] if len(choices) == 1 else
                     container({0: [(leaf, "$") for leaf in choices]}, identifier=f"slot{i}"))
    last = len(slots) - 1
    graph = {i: [(m, i + 1 if i < last else "$")] for i, m in enumerate(slots)}
    if loop:
        graph[last].append((slots[last], 0))
    return draw(st.sampled_from([z.StateMachine, Container]))(graph)


mixed_vocabularies = st.lists(WORDS, min_size=1, max_size=16).map(lambda ks: sorted(set(ks) | set(LETTERS)))


@examples(60)
@given(mixed_grammars(), mixed_vocabularies, st.data())
def test_mask_is_exact_over_native_and_python_leaves(machine, texts, data):
    engine, _ = make_engine(texts, machine, multi_token_sampling=False)
    for step in range(4):
        valid = consumable(engine, len(texts))
        assert exact_mask(engine, len(texts)).tolist() == valid.tolist(), step
        if not valid.any():
            break
        engine.consume(data.draw(st.sampled_from(np.flatnonzero(valid).tolist()), label=f"token {step}"),
                       token_healing=False)


def whole_word_then_c(container):
    leaf = native.Regex("a|ab", whole_tokens=True, identifier="word")
    return container({0: [(leaf, 1)], 1: [(native.Literal("c"), "$")]})


@pytest.mark.parametrize("texts, machine, expected", [
    # é and è share their first UTF-8 byte; the Python leaf sees only str.
    (["é", "è", "éé", "éè", "ée", "e", "èé", "x"], CharacterClass("éx", 1, 2), "10100001"),
    # "ac" would pass in pieces ("a", then "c"); whole, a leaf that could still take "b" refuses it.
    (["a", "ab", "ac", "c", "abc"], whole_word_then_c(z.StateMachine), "11001"),
    (["a", "ab", "ac", "c", "abc"], whole_word_then_c(RoutedContainer), "11001"),
])
def test_masks_of_chosen_cases(texts, machine, expected):
    engine, _ = make_engine(texts, machine, multi_token_sampling=False)
    assert exact_mask(engine, len(texts)).tolist() == consumable(engine, len(texts)).tolist() == \
        [c == "1" for c in expected]


def test_masks_follow_a_changed_vocabulary():
    engine, _ = make_engine(["a", "b", "x"], native.CharacterClass("a", 1, 3), multi_token_sampling=False)
    assert exact_mask(engine, 3).tolist() == [True, False, False]
    engine.vocabulary.insert("aa", 2)
    assert exact_mask(engine, 3).tolist() == [True, False, True]
