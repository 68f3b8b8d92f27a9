"""One constrained sequence: an Engine fed the tokens a model emitted.

The integrations share it. A framework hands over the ids it has so far
(prompt and output); the sequence consumes the new ones, masks the next
scores exactly (end tokens allowed exactly when the grammar may end), and
tells whether the output is finished and what its parsed value is.
"""

from __future__ import annotations

import time
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from typing import Any

import zel_core


class GrammarRefused(ValueError):
    """A token reached the Engine that its grammar does not allow there."""


@dataclass
class Completion:
    """A constrained output: its text, its parsed value and what it cost."""

    text: str = ""
    value: Any = None
    token_ids: list[int] = field(default_factory=list)
    # The grammar reached an accept state (the value is the whole output's).
    accepted: bool = False
    # "stop" (an end token or nothing could follow) or "length".
    finish_reason: str = "length"
    # The time of the output's tokens (the prompt's evaluation apart, where
    # the loop can tell them apart: see ``prompt_seconds``).
    seconds: float = 0.0
    # Of ``seconds``, the time spent in zel (masks and advancing).
    zel_seconds: float = 0.0
    prompt_seconds: float = 0.0
    # The time of each step (score, mask, draw, consume, evaluate), where known.
    step_seconds: list[float] = field(default_factory=list)
    response: Any = None

    @property
    def tokens_per_second(self) -> float:
        return len(self.token_ids) / self.seconds if self.seconds else 0.0

    @property
    def median_step_seconds(self) -> float:
        """Robust to a loaded machine's stalls, unlike the mean."""
        steps = sorted(self.step_seconds)
        return steps[len(steps) // 2] if steps else 0.0

    @property
    def zel_share(self) -> float:
        return self.zel_seconds / self.seconds if self.seconds else 0.0


def accepted_value(engine: zel_core.Engine) -> tuple[bool, Any]:
    """(whether a live Stepper accepts, the value of the first that does)."""
    for stepper in engine.steppers:
        if stepper.has_reached_accept_state():
            return True, stepper.get_current_value()
    return False, None


def nothing_can_follow(engine: zel_core.Engine) -> bool:
    return all(not stepper.can_accept_more_input() for stepper in engine.steppers)


class ConstrainedSequence:
    """Follows one output: ``update(ids)`` with everything emitted so far,
    then ``mask(scores)`` before the next draw.

    The first ``update`` after ``reset`` (or after the ids stop extending
    those seen) takes its ids as the prompt and resets the Engine to its
    grammar's start. ``end_tokens`` are ids that end the output; they are
    not consumed (list them as the Engine's ``control_tokens`` so that masks
    allow them once the grammar may end).
    """

    def __init__(self, engine: zel_core.Engine, end_tokens: Collection[int] = ()) -> None:
        self.engine = engine
        self.end_tokens = frozenset(int(t) for t in end_tokens)
        self.reset()

    def reset(self) -> None:
        self.prompt_length: int | None = None
        self.token_ids: list[int] = []
        self.ended = False
        self.zel_seconds = 0.0
        self._last: int | None = None

    def start(self, prompt_length: int) -> None:
        started = time.perf_counter()
        self.reset()
        self.engine.reset()
        self.prompt_length = prompt_length
        self.zel_seconds += time.perf_counter() - started

    def update(self, ids: Sequence[int] | Any) -> None:
        """Consumes the ids past those seen; a new prompt restarts."""
        n = len(ids)
        seen = None if self.prompt_length is None else self.prompt_length + len(self.token_ids)
        if seen is None or n < seen or (seen and self._last is not None and int(ids[seen - 1]) != self._last):
            self.start(n)
            self._last = int(ids[n - 1]) if n else None
            return
        for i in range(seen, n):
            self.advance(int(ids[i]))

    def advance(self, token: int) -> None:
        """Consumes one emitted id (an end token ends the output)."""
        self._last = token
        if self.prompt_length is None:
            self.start(0)
        if token in self.end_tokens:
            self.ended = True
            self.token_ids.append(token)
            return
        started = time.perf_counter()
        consumed = self.engine.consume(token, token_healing=False)
        self.zel_seconds += time.perf_counter() - started
        if consumed is None:
            raise GrammarRefused(f"token {token} does not continue the grammar after "
                                 f"{len(self.token_ids)} constrained tokens")
        self.token_ids.append(token)

    def mask(self, scores: Any) -> Any:
        """Sets the scores of every id the grammar refuses next to -inf, in place."""
        started = time.perf_counter()
        self.engine.mask_scores_exactly(scores)
        self.zel_seconds += time.perf_counter() - started
        return scores

    def fill_bitmask(self, bitmask: Any, row: int = 0) -> None:
        started = time.perf_counter()
        self.engine.fill_next_token_bitmask(bitmask, row)
        self.zel_seconds += time.perf_counter() - started

    @property
    def finished(self) -> bool:
        """An end token came, or the grammar accepts and nothing can follow."""
        if self.ended:
            return True
        started = time.perf_counter()
        done = self.engine.has_reached_accept_state and nothing_can_follow(self.engine)
        self.zel_seconds += time.perf_counter() - started
        return done

    def result(self) -> tuple[bool, Any]:
        return accepted_value(self.engine)
