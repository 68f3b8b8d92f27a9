"""Masking and selection leave the model's distribution over the tokens the
grammar allows as it was, renormalised: sampling frequencies against it,
chi-squared at a fixed seed."""

import math

import numpy as np
import pytest
import zel_core as z
from zel_core.leaves import CharacterClass, Literal
from zel.models import make_random_sampler

from engine_kit import make_engine

# Allowed first tokens: a, ab, c, cd, x, xy, xyz. Refused: b, q, d, qq, bd
# (none starts with an allowed text, so no draw heals).
TEXTS = ["a", "ab", "c", "cd", "x", "xy", "xyz", "b", "q", "d", "qq", "bd"]
ALLOWED = [0, 1, 2, 3, 4, 5, 6]
DRAWS = 3000


def grammar():
    return z.StateMachine({0: [(Literal("ab"), "$"), (Literal("cd"), "$"), (CharacterClass("xyz"), "$")]})


def chi_squared_bound(degrees, z_score=3.09):
    """The statistic's 0.1% upper quantile, by Wilson and Hilferty."""
    k = 2 / (9 * degrees)
    return degrees * (1 - k + z_score * math.sqrt(k)) ** 3


MASKS = {
    "select alone": lambda engine, scores: scores,
    "continuation mask": lambda engine, scores: engine.mask_invalid_tokens(scores),
    "exact mask": lambda engine, scores: engine.mask_scores_exactly(scores),
}


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
@pytest.mark.parametrize("mask", MASKS)
def test_selection_samples_the_renormalised_distribution(mask, dtype):
    engine, _ = make_engine(TEXTS, grammar())
    logits = np.random.default_rng(7).normal(0, 1, len(TEXTS)).astype(dtype)
    sampler = make_random_sampler(seed=11)
    counts = np.zeros(len(TEXTS))
    for _ in range(DRAWS):
        engine.reset()
        scores = MASKS[mask](engine, logits.reshape(1, -1).copy())
        # A learned sequence starts with the id drawn.
        counts[engine.select_next_tokens(scores, sampler)[0]] += 1
    assert counts[ALLOWED].sum() == DRAWS
    weights = np.exp(logits[ALLOWED].astype(np.float64))
    expected = DRAWS * weights / weights.sum()
    statistic = ((counts[ALLOWED] - expected) ** 2 / expected).sum()
    assert statistic < chi_squared_bound(len(ALLOWED) - 1), (counts[ALLOWED], expected.round())
