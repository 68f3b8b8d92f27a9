"""The ids select_next_tokens emits spell exactly what the steppers consumed,
also when a draw is healed or a learned sequence exists."""

import numpy as np
import pytest
import zel_core as z
from engine_kit import Sampler, make_engine
from zel.leaves import CharacterClass

FLOAT_BLOCKED = -np.inf


def grammar_fax():
    """Any run of the letters a, f and x: "false" matches only its "fa"."""
    return z.StateMachine({0: [(CharacterClass("afx"), "$")]})


def state(e):
    return [(s.get_raw_value(), s.get_token_ids_history()) for s in e.steppers]


def scores(width):
    return -np.arange(1, width + 1, dtype=np.float32)[None, :]


def test_draw_healed_to_a_shorter_key_is_dropped_and_drawing_goes_on():
    texts = ["f", "false", "x"]
    F, FALSE, _ = range(3)
    e, _ = make_engine(texts, grammar_fax())
    row = scores(3)
    sampler = Sampler(FALSE, F)
    # "false" matches only "fa", which is no key: crediting "f" would emit
    # less than the stepper consumed, so the draw yields nothing.
    assert e.select_next_tokens(row, sampler) == [F]
    assert sampler.calls == 2
    assert state(e) == [("f", [F])]
    assert row[0, FALSE] == FLOAT_BLOCKED


def test_draw_healed_to_its_whole_matched_part_counts_and_is_not_expanded():
    texts = ["f", "false", "fa", "x"]
    F, FALSE, FA, X = range(4)
    e, _ = make_engine(texts, grammar_fax(), max_resamples=1)
    e.multi_token_mapping = {FA: [FA, X]}
    assert e.select_next_tokens(scores(4), Sampler(FALSE)) == [FA]
    assert state(e) == [("fa", [FA])]


def test_consume_keeps_longest_prefix_healing_for_direct_callers():
    texts = ["f", "false", "x"]
    F, FALSE, _ = range(3)
    e, _ = make_engine(texts, grammar_fax())
    assert e.consume(FALSE) == FALSE
    # The stepper stands after "fa" although only "f" is a key.
    assert state(e) == [("fa", [FALSE])]


@pytest.mark.parametrize("sampling", [True, False])
def test_learned_sequence_of_an_unhealed_draw(sampling):
    texts = ["f", "a", "x", "fa"]
    F, A, X, FA = range(4)
    e, _ = make_engine(texts, grammar_fax(), multi_token_sampling=sampling, max_resamples=1)
    e.multi_token_mapping = {F: [F, A]}
    emitted = e.select_next_tokens(scores(4), Sampler(F))
    assert emitted == ([F, A] if sampling else [F])
    assert state(e) == [("fa" if sampling else "f", emitted)]
