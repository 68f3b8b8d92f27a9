"""Constraining B sequences at once: one Engine per row, grammars shared.

Serving loops decode a batch: per step they need one packed bitmask of shape
(B, ceil(V/32)) (bit t % 32 of word t // 32 set when token t is allowed, the
layout the leading engines' apply kernels take) and then hand back one token
per row. ``GrammarBatch`` does both over B Engines: a grammar is only
structure, so rows share it, each with Steppers of its own.

    batch = GrammarBatch.from_tokenizer(tokenizer, grammar, batch_size=4)
    bitmask = batch.allocate_bitmask()
    while not batch.all_finished:
        batch.fill_next_token_bitmask(bitmask)   # rows that finished allow only end tokens
        tokens = sample_with(bitmask)            # the framework's apply + sampling
        batch.consume(tokens)
"""

from __future__ import annotations

from collections.abc import Collection, Sequence
from typing import Any

import numpy as np

import zel_core
from zel.integrations.constrained import accepted_value, nothing_can_follow


class GrammarBatch:
    """B rows, each an Engine; ``end_tokens`` end a row's output."""

    def __init__(self, engines: Sequence[zel_core.Engine], end_tokens: Collection[int] = (),
                 vocab_size: int | None = None) -> None:
        if not engines:
            raise ValueError("a batch needs at least one Engine")
        self.engines = list(engines)
        self.end_tokens = frozenset(int(t) for t in end_tokens)
        self.vocab_size = vocab_size
        self.reset()

    @classmethod
    def from_tokenizer(cls, tokenizer: Any, grammar: zel_core.StateMachine | Sequence[zel_core.StateMachine],
                       batch_size: int | None = None, **engine_options: Any) -> GrammarBatch:
        """Engines over a ``zel.tokenizers.Tokenizer``: one grammar for every
        row (``batch_size`` rows), or one grammar per row."""
        grammars = list(grammar) if isinstance(grammar, Sequence) else [grammar] * (batch_size or 1)
        if batch_size is not None and len(grammars) != batch_size:
            raise ValueError(f"{len(grammars)} grammars for a batch of {batch_size}")
        engines = []
        for machine in grammars:
            engine = tokenizer.engine(**engine_options)
            engine.state_machine = machine
            engines.append(engine)
        return cls(engines, tokenizer.control_tokens, tokenizer.size)

    def __len__(self) -> int:
        return len(self.engines)

    def reset(self) -> None:
        """Every row back to its grammar's start."""
        for engine in self.engines:
            engine.reset()
        self.ended = [False] * len(self.engines)
        self.token_ids: list[list[int]] = [[] for _ in self.engines]

    def allocate_bitmask(self, vocab_size: int | None = None) -> np.ndarray:
        """A zeroed int32 bitmask of shape (B, ceil(V/32)); V defaults to the
        batch's ``vocab_size`` (the model's may be larger: pass it)."""
        vocab_size = vocab_size if vocab_size is not None else self.vocab_size
        if vocab_size is None:
            raise ValueError("the batch does not know the vocabulary's size: pass vocab_size")
        return np.zeros((len(self.engines), (vocab_size + 31) // 32), dtype=np.int32)

    def fill_next_token_bitmask(self, bitmask: np.ndarray) -> np.ndarray:
        """Fills every row; a finished row allows only its end tokens."""
        if bitmask.ndim != 2 or bitmask.shape[0] != len(self.engines):
            raise ValueError(f"bitmask must have shape ({len(self.engines)}, words), got {bitmask.shape}")
        for row, engine in enumerate(self.engines):
            if self.ended[row]:
                words = bitmask[row].view(np.uint32)
                words[:] = 0
                for token in self.end_tokens:
                    words[token // 32] |= np.uint32(1 << (token % 32))
            else:
                engine.fill_next_token_bitmask(bitmask, row)
        return bitmask

    def consume(self, tokens: Sequence[int]) -> None:
        """One token per row. Raises ValueError, naming the row, for a token
        its grammar refuses; the rows before it have consumed theirs."""
        if len(tokens) != len(self.engines):
            raise ValueError(f"{len(tokens)} tokens for a batch of {len(self.engines)}")
        for row, (engine, token) in enumerate(zip(self.engines, tokens)):
            token = int(token)
            if self.ended[row]:
                continue
            if token in self.end_tokens:
                if not engine.has_reached_accept_state:
                    raise ValueError(f"row {row}: end token {token} before the grammar may end")
                self.ended[row] = True
                continue
            if engine.consume(token, token_healing=False) is None:
                raise ValueError(f"row {row}: token {token} does not continue the grammar")
            self.token_ids[row].append(token)

    def finished(self, row: int) -> bool:
        """The row drew an end token, or its grammar accepts and nothing can follow."""
        engine = self.engines[row]
        return self.ended[row] or (engine.has_reached_accept_state and nothing_can_follow(engine))

    @property
    def all_finished(self) -> bool:
        return all(self.finished(row) for row in range(len(self.engines)))

    def values(self) -> list[Any]:
        """Each row's parsed value where its grammar accepts, else None."""
        return [accepted_value(engine)[1] for engine in self.engines]
