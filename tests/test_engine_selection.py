"""Engine.select_next_tokens: drawing candidates through a sampler, blocking
and restoring their scores, and installing the best path; the ids it emits
spell exactly what the steppers consumed, also when a draw is healed or a
learned sequence exists."""

import json

import numpy as np
import pytest
import zel_core as z
from engine_kit import Sampler, bits, make_engine, run_isolated, scripted
from zel.leaves import CharacterClass, Literal

TEXTS = ["a", "b", "ab", "x", "abx"]
A, B, AB, X, ABX = range(len(TEXTS))
W = len(TEXTS) + 2  # log_probs may be wider than the vocabulary

BLOCKING = {np.float32: 0xFF800000, np.float16: 0xFC00, np.uint16: 0xFF80, np.int8: 0x80}


def log_probs(dtype=np.float32):
    """One row of distinct scores, each exactly representable in `dtype`."""
    if dtype == np.int8:
        return -np.arange(1, W + 1, dtype=np.int8)[None, :]
    scores = -0.5 - np.arange(W, dtype=np.float32)[None, :]
    if dtype == np.uint16:  # bfloat16 bit patterns
        return (scores.view(np.uint32) >> 16).astype(np.uint16)
    return scores.astype(dtype)


def ab_then_c():
    return z.StateMachine({0: [(Literal("ab"), 1)], 1: [(Literal("c"), "$")]})


def state(e):
    return [(s.get_raw_value(), s.get_token_ids_history()) for s in e.steppers]


def read_only_row():
    scores = np.zeros((1, W), np.float32)
    scores.flags.writeable = False
    return scores


@pytest.mark.parametrize("scores, message", [
    (np.zeros((2, W), np.float32), r"^LogProbs Tensor must be 2D \(1 x vocab_size\)$"),
    (np.zeros((W,), np.float32), "^LogProbs"), (np.zeros((0, W), np.float32), "^LogProbs"),
    (read_only_row(), "read-only"),
])
def test_refused_scores_are_left_alone(scores, message):
    e, _ = make_engine(TEXTS, Literal("ab"))
    sampler = Sampler(A)
    with pytest.raises(RuntimeError, match=message):
        e.select_next_tokens(scores, sampler)
    assert sampler.calls == 0 and (scores == 0).all() and state(e) == [("", [])]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_no_steppers_take_the_first_draw(dtype):
    e, _ = make_engine(TEXTS)
    scores, sampler = np.zeros((1, W), dtype), Sampler(W - 1, A)
    assert e.select_next_tokens(scores, sampler) == [W - 1]
    assert sampler.calls == 1 and sampler.seen[0] is scores and (scores == 0).all()


@pytest.mark.parametrize("dtype", list(BLOCKING))
def test_rejected_draw_stays_blocked_and_chosen_score_is_restored(dtype):
    e, _ = make_engine(TEXTS, Literal("ab"))
    scores, sampler = log_probs(dtype), Sampler(X, A)
    before = bits(scores).copy()
    assert e.select_next_tokens(scores, sampler) == [A]
    assert sampler.calls == 2 and all(seen is scores for seen in sampler.seen)
    assert bits(sampler.values[1])[0, X] == BLOCKING[dtype]  # the sampler sees the blocked entry
    expected = before.copy()
    expected[0, X] = BLOCKING[dtype]
    np.testing.assert_array_equal(bits(scores), expected)
    assert state(e) == [("a", [A])]


@pytest.mark.parametrize("max_resamples, ids, calls, chosen", [
    # "abx" heals to "ab" short of the grammar's end: not attractive, so drawing goes on
    (0, [ABX], 1, AB), (1, [ABX], 1, AB), (3, [ABX], 3, AB), (None, [ABX], 5, AB),
    (None, [ABX, A, B], 2, A),  # the unhealed "a" is attractive, and beats the healed "ab"
    # no practical limit, or more than the row has entries: drawing ends after as many draws as entries
    (-1, [ABX], W, AB), (2**31 - 1, [ABX], W, AB), (100, [ABX], W, AB),
])
def test_counted_draws(max_resamples, ids, calls, chosen):
    options = {} if max_resamples is None else {"max_resamples": max_resamples}
    e, _ = make_engine(TEXTS, ab_then_c(), **options)
    scores, sampler = log_probs(), Sampler(*ids, *[ids[-1]] * W, OverflowError("drawing did not stop"))
    assert e.select_next_tokens(scores, sampler) == [chosen]  # a healed text brings its own id
    assert sampler.calls == calls
    expected = log_probs()
    expected[0, ABX] = -np.inf  # healed only: not restored
    np.testing.assert_array_equal(scores, expected)
    assert state(e) == [(TEXTS[chosen], [chosen])]


@pytest.mark.parametrize("sampling, value, emitted", [(True, "ab", [A, B]), (False, "a", [A])])
def test_learned_sequence_is_emitted_only_when_it_was_consumed(sampling, value, emitted):
    # the flag decides what the draw advances over, and the ids emitted spell exactly that
    e, _ = make_engine(TEXTS, Literal("ab"), multi_token_sampling=sampling)
    e.multi_token_mapping = {A: [A, B]}
    assert e.select_next_tokens(log_probs(), Sampler(A)) == emitted
    assert state(e) == [(value, emitted)]


@pytest.mark.parametrize("result", [
    # zeros hold the valid id A (0) in any bytes read from the start
    np.zeros((1, 4), np.float32), np.zeros((1, 4), np.float64), np.zeros((1, 4), np.int16),
    np.zeros((1, 4), np.uint8), np.zeros((1, 4), bool), np.zeros((1, 0), np.int32),
], ids=lambda r: f"{r.dtype}{r.shape}")
def test_sampler_results_other_than_integer_ids_are_refused(result):
    e, _ = make_engine(TEXTS, Literal("ab"))
    scores = log_probs()
    with pytest.raises(RuntimeError):
        e.select_next_tokens(scores, lambda s: result)
    np.testing.assert_array_equal(scores, log_probs())
    assert state(e) == [("", [])]


OUT_OF_RANGE = """
import json, numpy as np
from engine_kit import make_engine
from zel.leaves import CharacterClass, Literal
from test_engine_selection import TEXTS, W, log_probs
report = []
for grammar in (Literal("ab"), None):
    for token, dtype in [(W, "i4"), (W + 1000, "i4"), (-1, "i4"), (-2**31, "i4"), (2**40, "i8"),
                         (2**32 + 1, "i8"), (-1, "i8"), (2**32 - 1, "u4"), (2**63 + 1, "u8")]:
        e, _ = make_engine(TEXTS, grammar)
        scores = log_probs()
        try:
            outcome = e.select_next_tokens(scores, lambda s: np.array([[token]], dtype=dtype))
        except RuntimeError:
            outcome = "refused"
        report.append([token, dtype, outcome, bool((scores == log_probs()).all()), len(e.steppers)])
print(json.dumps(report))
"""


def test_out_of_range_ids_are_refused_before_the_array_is_touched():
    done = run_isolated(OUT_OF_RANGE)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert [r[2:] for r in report] == [["refused", True, 1]] * 9 + [["refused", True, 0]] * 9, report


def test_fruitless_drawing_is_bounded_by_the_row_width():
    for max_resamples in (0, 5, 100):
        e, _ = make_engine(TEXTS, Literal("ab"), max_resamples=max_resamples)
        sampler = Sampler(*[X] * (W + 3), OverflowError("drawing did not stop"))
        with pytest.raises(RuntimeError):
            e.select_next_tokens(log_probs(), sampler)
        assert sampler.calls == W
        assert state(e) == [("", [])]


@pytest.mark.parametrize("case", ["first draw", "after a rejected draw", "stepper"])
def test_exceptions_propagate_and_keep_steppers(case):
    error = ValueError("sampler failed")
    e, _ = make_engine(TEXTS, Literal("ab"))
    if case == "stepper":
        e.steppers = e.steppers + [scripted(error=error)]
    before = e.steppers
    sampler = Sampler(error) if case == "first draw" else Sampler(X, error)
    scores = log_probs()
    with pytest.raises(ValueError) as caught:
        e.select_next_tokens(scores, sampler)
    assert caught.value is error
    assert all(a is b for a, b in zip(e.steppers, before, strict=True))
    assert bool(np.isneginf(scores[0, X])) is (case != "first draw")  # a tried entry stays blocked


def grammar_fax():
    """Any run of the letters a, f and x: "false" matches only its "fa"."""
    return z.StateMachine({0: [(CharacterClass("afx"), "$")]})


def row(width):
    return -np.arange(1, width + 1, dtype=np.float32)[None, :]


def test_draw_healed_to_a_shorter_key_is_dropped_and_drawing_goes_on():
    F, FALSE = 0, 1
    e, _ = make_engine(["f", "false", "x"], grammar_fax())
    scores, sampler = row(3), Sampler(FALSE, F)
    # "false" matches only "fa", which is no key: crediting "f" would emit
    # less than the stepper consumed, so the draw yields nothing.
    assert e.select_next_tokens(scores, sampler) == [F]
    assert sampler.calls == 2 and state(e) == [("f", [F])] and np.isneginf(scores[0, FALSE])
    e, _ = make_engine(["f", "false", "x"], grammar_fax())
    assert e.consume(FALSE) == FALSE  # consume heals to the longest prefix for direct callers
    assert state(e) == [("fa", [FALSE])]


def test_draw_healed_to_its_whole_matched_part_counts_and_is_not_expanded():
    F, FALSE, FA, X = range(4)
    e, _ = make_engine(["f", "false", "fa", "x"], grammar_fax(), max_resamples=1)
    e.multi_token_mapping = {FA: [FA, X]}
    assert e.select_next_tokens(row(4), Sampler(FALSE)) == [FA]
    assert state(e) == [("fa", [FA])]
