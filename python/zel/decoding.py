"""Constrained decoding loops around ``zel_core.Engine``.

Two ways to drive an Engine, both over any ``scores(token_ids)`` callable
that returns the model's next-token scores as a (1, V) array. Both mask the
scores exactly first (``mask_scores_exactly``): every token left open is one
the grammar takes as it is, so a sampler that respects the mask never draws
a token the grammar refuses.

``generate_by_consuming`` is the loop every serving framework runs: mask,
sample once, ``consume(token_id, token_healing=False)``. A draw the mask
refused (a sampler that ignores the mask) is an error.

``generate`` lets the Engine choose: the masked scores go to
``select_next_tokens`` with the sampler; the Engine draws, tests each draw
against the grammar, may heal it, and installs the winning steppers itself.
The ids it returns are already consumed.

Both stop when the model draws one of the caller's ``end_tokens`` (list them
as the Engine's ``control_tokens`` too: exact masks allow control tokens once
the grammar may end) or when nothing can follow; without end tokens, once the
grammar accepts.

Healing stays off in the first loop on purpose: ``consume``'s default
healing lets a stepper that matched only the start of a token survive,
credited with a shorter vocabulary key. A caller who has already emitted the
whole token would then hold text the grammar never checked.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Collection, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import zel_core

Scores = Callable[[Sequence[int]], np.ndarray]
Sampler = Callable[[np.ndarray], np.ndarray]


@dataclass
class Generation:
    """What one decoding run produced."""

    token_ids: list[int] = field(default_factory=list)
    # The ids each step emitted.
    steps: list[list[int]] = field(default_factory=list)
    draws: int = 0
    # Steps whose emitted token was not one the sampler drew (a healed draw).
    healed: int = 0
    accepted: bool = False
    seconds: float = 0.0

    @property
    def seconds_per_token(self) -> float:
        return self.seconds / max(1, len(self.token_ids))

    @property
    def draws_per_step(self) -> float:
        return self.draws / max(1, len(self.steps))

    @property
    def healed_share(self) -> float:
        return self.healed / max(1, len(self.steps))


class _RecordingSampler:
    """Counts and remembers draws; hands out a draw already made first."""

    def __init__(self, sampler: Sampler, first_draw: int | None = None) -> None:
        self.sampler = sampler
        self.calls = 0
        self.drawn: set[int] = set()
        self.first_draw = first_draw

    def __call__(self, log_probs: np.ndarray) -> np.ndarray:
        if self.first_draw is not None:
            token, self.first_draw = self.first_draw, None
            self.drawn.add(token)
            return np.array([[token]], dtype=np.int32)
        self.calls += 1
        chosen = self.sampler(log_probs)
        self.drawn.add(_first_id(chosen))
        return chosen


def _nothing_can_follow(engine: zel_core.Engine) -> bool:
    return all(not stepper.can_accept_more_input() for stepper in engine.steppers)


def _first_id(chosen: npt.ArrayLike) -> int:
    return int(np.asarray(chosen).reshape(-1)[0])


def _decode(engine: zel_core.Engine, scores: Scores, max_tokens: int,
            on_step: Callable[[list[int]], None] | None,
            step: Callable[[np.ndarray, Generation], list[int]],
            end_tokens: Collection[int]) -> Generation:
    """The loop both ways share: reset, then per step score, mask and let
    ``step`` advance the Engine and return the ids it emits (none to stop)."""
    engine.reset()
    result = Generation()
    started = time.perf_counter()
    while len(result.token_ids) < max_tokens:
        if end_tokens:
            if _nothing_can_follow(engine):
                break
        elif engine.has_reached_accept_state:
            break
        log_probs = np.array(scores(result.token_ids), copy=True)
        engine.mask_scores_exactly(log_probs)
        emitted = step(log_probs, result)
        if not emitted:
            break
        result.token_ids.extend(emitted)
        result.steps.append(emitted)
        if on_step is not None:
            on_step(emitted)
    result.seconds = time.perf_counter() - started
    result.accepted = engine.has_reached_accept_state
    return result


def _drew_end(log_probs: np.ndarray, sampler: Sampler, end_tokens: Collection[int],
              engine: zel_core.Engine, result: Generation) -> tuple[bool, int | None]:
    """Once the grammar may end, the model's draw decides whether it does."""
    if not end_tokens or not engine.has_reached_accept_state:
        return False, None
    token = _first_id(sampler(log_probs))
    result.draws += 1
    return token in end_tokens, token


def generate(engine: zel_core.Engine, scores: Scores, sampler: Sampler, *, max_tokens: int = 512,
             end_tokens: Collection[int] = (),
             on_step: Callable[[list[int]], None] | None = None) -> Generation:
    """Decodes with ``select_next_tokens``.

    The Engine is reset to its grammar's start first. ``on_step`` sees the
    ids of each step as they come. With ``end_tokens`` (the ids that end a
    text; list them as the Engine's ``control_tokens`` too, so that masks
    allow them once the grammar may end), generation stops when the model
    draws one of them or when nothing can follow; without, it stops once the
    grammar accepts. It also stops when a step emits nothing, or after
    ``max_tokens``.
    """
    def step(log_probs: np.ndarray, result: Generation) -> list[int]:
        ended, first_draw = _drew_end(log_probs, sampler, end_tokens, engine, result)
        if ended:
            return []
        recording = _RecordingSampler(sampler, first_draw)
        chosen = engine.select_next_tokens(log_probs, recording)
        result.draws += recording.calls
        if chosen:
            result.healed += chosen[0] not in recording.drawn
        return chosen

    return _decode(engine, scores, max_tokens, on_step, step, end_tokens)


def generate_by_consuming(engine: zel_core.Engine, scores: Scores, sampler: Sampler, *,
                          max_tokens: int = 512, end_tokens: Collection[int] = (),
                          on_step: Callable[[list[int]], None] | None = None) -> Generation:
    """Decodes by masking exactly, sampling once and ``consume``-ing the draw
    without healing.

    Stops as ``generate`` does; raises RuntimeError when the sampler draws a
    token the mask refused.
    """
    def step(log_probs: np.ndarray, result: Generation) -> list[int]:
        token = _first_id(sampler(log_probs))
        result.draws += 1
        if token in end_tokens:
            return []
        if engine.consume(token, token_healing=False) is None:
            raise RuntimeError(f"the sampler drew token {token}, which the mask refused")
        return [token]

    return _decode(engine, scores, max_tokens, on_step, step, end_tokens)
