"""Engine rollback: the Steppers of the last N advances kept, up to N undone."""

import gc
import weakref

import pytest

from integration_kit import allowed, json_engine, small_tokenizer
from zel.leaves import Literal

DOCUMENT = '{"name": "Ada", "age": 36}'


@pytest.fixture(scope="module")
def tokenizer():
    return small_tokenizer()


def test_rolling_back_restores_the_masks_and_values(tokenizer):
    engine = json_engine(tokenizer, max_rollback_tokens=4)
    ids = tokenizer.encode(DOCUMENT)
    masks, raws = [], []
    for token in ids:
        masks.append(allowed(engine, tokenizer.size))
        raws.append([s.get_raw_value() for s in engine.steppers])
        engine.consume(token, token_healing=False)
    assert engine.rollback_depth == 4  # bounded by the limit, not the length
    engine.rollback(1)
    assert allowed(engine, tokenizer.size) == masks[-1]
    engine.rollback(2)
    assert [s.get_raw_value() for s in engine.steppers] == raws[-3]
    engine.rollback(1)
    assert engine.rollback_depth == 0
    assert allowed(engine, tokenizer.size) == masks[-4]
    assert [s.get_raw_value() for s in engine.steppers] == raws[-4]
    for token in ids[-4:]:  # and forward again, to the same end
        engine.consume(token, token_healing=False)
    assert engine.has_reached_accept_state
    assert engine.steppers[0].get_current_value() == {"name": "Ada", "age": 36}


def test_too_far_raises_and_changes_nothing(tokenizer):
    engine = json_engine(tokenizer)  # off by default
    engine.consume(tokenizer.encode("{")[0], token_healing=False)
    with pytest.raises(ValueError):
        engine.rollback()
    engine.max_rollback_tokens = 2
    for token in tokenizer.encode('"a'):
        engine.consume(token, token_healing=False)
    before = [s.get_raw_value() for s in engine.steppers]
    with pytest.raises(ValueError, match="cannot roll back 3 token"):
        engine.rollback(3)
    engine.rollback(0)
    assert [s.get_raw_value() for s in engine.steppers] == before and engine.rollback_depth == 2


@pytest.mark.parametrize("forget", ["reset", "limit", "steppers"])
def test_what_forgets_the_history(tokenizer, forget):
    engine = json_engine(tokenizer, max_rollback_tokens=8)
    for token in tokenizer.encode('{"ab'):
        engine.consume(token, token_healing=False)
    if forget == "reset":
        engine.reset()
    elif forget == "limit":
        engine.max_rollback_tokens = 1
    else:
        engine.steppers = list(engine.steppers)
    assert engine.rollback_depth == (1 if forget == "limit" else 0)


def test_kept_steppers_are_seen_by_the_collector():
    engine = small_tokenizer().engine(max_rollback_tokens=3)
    engine.state_machine = Literal("abc")  # Python Steppers, which can hold the Engine
    engine.reset()
    old = engine.steppers[0]
    engine.consume(small_tokenizer().encode("a")[0], token_healing=False)
    old.engine = engine  # a cycle through the kept history only
    probe = weakref.ref(old)
    del engine, old
    gc.collect()
    assert probe() is None
