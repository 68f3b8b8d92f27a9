"""Engine.compute_token_mask: which ids the grammar allows next, and the
sequences a mask learns. Writing masks into score arrays (element types,
layouts, DLPack) is checked with the hostile inputs and the masking property."""

import numpy as np
import pytest
import zel_core as z
from engine_kit import make_engine, scripted

TEXTS = ["a", "b", "ab", "abc", "x", "ax", "c"]
A, B, AB, ABC, X, AX, C = range(len(TEXTS))
V = len(TEXTS)


def allowed(mask):
    return {i for i, ok in enumerate(mask) if ok}


def engine_with(*steppers, **options):
    e, _ = make_engine(TEXTS, **options)
    e.steppers = list(steppers)
    return e


@pytest.mark.parametrize("settings, sampling, expected", [
    # "ab" spells (a, b) and (ab); a multi-token first piece allows only its own ids
    ([{"valid": ["ab"]}], True, {A, AB, ABC}),
    # without multi-token sampling every key starting with a piece stays open
    ([{"valid": ["ab"]}], False, {A, AB, ABC, AX}),
    ([{"valid": ["x", "zz"]}], True, {X}),
    ([{"valid": ["zz"]}], True, set(range(V))),  # nothing tokenizable: no restriction
    ([{"valid": ["zz"], "invalid": ["bc"]}], True, set(range(V)) - {B, C}),  # every piece is blocked
    ([{"valid": ["x"], "any_token": True, "invalid": ["ax", "q"]}], True, set(range(V)) - {A, X, AX}),
    ([{"valid": ["x"]}, {"valid": ["c"], "invalid": ["x"]}], True, {C}),
    ([{"valid": ["x"]}, {"any_token": True}], True, set(range(V))),
])
def test_mask(settings, sampling, expected):
    e = engine_with(*[scripted(**each) for each in settings], multi_token_sampling=sampling)
    assert allowed(e.compute_token_mask(V)) == expected


def test_mask_length_follows_vocab_size():
    assert engine_with(control_tokens=[C]).compute_token_mask(V + 3) == [True] * (V + 3)  # no steppers
    e = engine_with(scripted(valid=["x"]))
    assert e.compute_token_mask(V + 2) == [i == X for i in range(V + 2)]
    assert e.compute_token_mask(2) == [False, False]  # X lies beyond, but the allowed set is not empty
    assert e.compute_token_mask(0) == []
    with pytest.raises(ValueError):
        e.compute_token_mask(2**31)


def test_multi_token_sequences_are_recorded_and_shortened():
    # "ab" spells (a, b) and (ab); "abc" spells (a, b, c), (ab, c) and (abc)
    e = engine_with(scripted(valid=["ab", "abc", "x"]), multi_token_sampling=False)
    e.compute_token_mask(V)
    assert e.multi_token_mapping == {}
    e = engine_with(scripted(valid=["ab", "abc", "x"]))
    e.compute_token_mask(V)
    assert e.multi_token_mapping == {A: [A, B], AB: [AB, C]}
    e.steppers = [scripted(valid=["ac"])]
    assert allowed(e.compute_token_mask(V)) == {A}
    assert e.multi_token_mapping == {A: [A], AB: [AB, C]}
    e.steppers = [scripted(valid=["ab"])]
    e.compute_token_mask(V)
    assert e.multi_token_mapping == {A: [A], AB: [AB, C]}  # never lengthened again


@pytest.mark.parametrize("grammar, accepted, valid, control_allowed", [
    (False, True, [], False), (True, False, [], False), (True, True, [], True), (True, True, ["x"], True),
    (True, False, ["x"], False),
])
def test_control_tokens(grammar, accepted, valid, control_allowed):
    e = engine_with(scripted(accepted=accepted, valid=valid), scripted(), control_tokens=[C, AX])
    if grammar:
        e.state_machine = z.StateMachine()
    mask = e.compute_token_mask(V)
    assert mask[C] is mask[AX] is control_allowed
    assert mask[X] is True
