"""A constrained decoding loop around ``zel_core.Engine``.

Each step asks the model for scores, lets the Engine block the tokens the
grammar rules out (``mask_invalid_tokens``), and lets it draw, check and
install the next tokens with a sampler (``select_next_tokens``). The Engine's
steppers are already advanced by the ids it returns: they must not be
consumed again.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np

import zel_core

Scores = Callable[[Sequence[int]], np.ndarray]
Sampler = Callable[[np.ndarray], np.ndarray]


@dataclass
class Generation:
    """What one decoding run produced."""

    token_ids: list[int] = field(default_factory=list)
    # One entry per decoding step: the ids that step emitted.
    steps: list[list[int]] = field(default_factory=list)
    draws: int = 0
    accepted: bool = False
    seconds: float = 0.0

    @property
    def seconds_per_token(self) -> float:
        return self.seconds / max(1, len(self.token_ids))


class _CountingSampler:
    def __init__(self, sampler: Sampler) -> None:
        self.sampler = sampler
        self.calls = 0

    def __call__(self, log_probs: np.ndarray) -> np.ndarray:
        self.calls += 1
        return self.sampler(log_probs)


def generate(engine: zel_core.Engine, scores: Scores, sampler: Sampler, *, max_tokens: int = 512,
             on_step: Callable[[list[int]], None] | None = None) -> Generation:
    """Decodes from the Engine's grammar until it reaches an accept state.

    ``scores(token_ids)`` returns the model's log-probabilities for the next
    token, shape (1, V), given the ids emitted so far; ``sampler`` picks an id
    from such an array. ``on_step`` sees the ids of each step as they come.
    The Engine is reset to its grammar's start first. Generation stops once
    the grammar accepts, when a step emits nothing, or after ``max_tokens``.
    """
    engine.reset()
    counting = _CountingSampler(sampler)
    result = Generation()
    started = time.perf_counter()
    while len(result.token_ids) < max_tokens and not engine.has_reached_accept_state:
        log_probs = np.array(scores(result.token_ids), copy=True)
        engine.mask_invalid_tokens(log_probs)
        chosen = engine.select_next_tokens(log_probs, counting)
        if not chosen:
            break
        result.token_ids.extend(chosen)
        result.steps.append(chosen)
        if on_step is not None:
            on_step(chosen)
    result.seconds = time.perf_counter() - started
    result.draws = counting.calls
    result.accepted = engine.has_reached_accept_state
    return result
