"""zel in Hugging Face transformers' ``model.generate``, batched by row.

``LogitsProcessor(engine_factory)`` keeps one Engine per row of the batch
(made on the first call, when the batch size is known) and masks each row's
scores exactly, in place, through DLPack (float32, float16 and bfloat16
tensors alike; the model's vocabulary may be padded past the tokenizer's).
``StoppingCriteria(processor)`` stops a row once its grammar accepts and
nothing can follow::

    tokenizer = from_huggingface(hf_tokenizer)
    def make_engine():
        engine = tokenizer.engine()
        engine.state_machine = grammar
        return engine
    processor = LogitsProcessor(make_engine, tokenizer.control_tokens)
    out = model.generate(**inputs, logits_processor=LogitsProcessorList([processor]),
                         stopping_criteria=StoppingCriteriaList([StoppingCriteria(processor)]))
    processor.values()      # each row's parsed output

The rows are followed by their ids: a row whose ids stop extending the ones
its Engine consumed (beam search reorders rows) is replayed from the prompt.
Neither torch nor transformers is imported by this module.
"""

from __future__ import annotations

from collections.abc import Callable, Collection
from typing import Any

import zel_core
from zel.integrations.constrained import ConstrainedSequence

__all__ = ["LogitsProcessor", "StoppingCriteria"]


class _Row:
    def __init__(self, engine: zel_core.Engine, end_tokens: Collection[int]) -> None:
        self.sequence = ConstrainedSequence(engine, end_tokens)
        self.output: list[int] = []

    def follow(self, ids: list[int], prompt_length: int) -> None:
        output = ids[prompt_length:]
        if self.sequence.prompt_length is None or output[:len(self.output)] != self.output:
            self.sequence.start(prompt_length)
            self.output = []
        for token in output[len(self.output):]:
            self.sequence.advance(token)
            self.output.append(token)


class LogitsProcessor:
    """Constrains every row of ``model.generate`` to an Engine's grammar.

    ``engine_factory()`` makes one Engine (grammar set) per row;
    ``end_tokens`` are the ids that end a row (the Engine's control tokens):
    after one, the row is left alone (generate pads it).
    """

    def __init__(self, engine_factory: Callable[[], zel_core.Engine],
                 end_tokens: Collection[int]) -> None:
        self.engine_factory = engine_factory
        self.end_tokens = frozenset(int(t) for t in end_tokens)
        self.rows: list[_Row] = []
        self.prompt_length: int | None = None

    def reset(self) -> None:
        self.rows = []
        self.prompt_length = None

    def __call__(self, input_ids: Any, scores: Any) -> Any:
        batch, length = int(input_ids.shape[0]), int(input_ids.shape[1])
        if self.prompt_length is None or len(self.rows) != batch or length < self.prompt_length:
            self.rows = [_Row(self.engine_factory(), self.end_tokens) for _ in range(batch)]
            self.prompt_length = length
        ids = input_ids.tolist()
        for row, state in enumerate(self.rows):
            if state.sequence.ended:
                continue
            state.follow(ids[row], self.prompt_length)
            state.sequence.mask(scores[row])
        return scores

    def finished(self) -> list[bool]:
        return [row.sequence.finished for row in self.rows]

    def values(self) -> list[Any]:
        """Each row's parsed value where its grammar accepts, else None."""
        return [row.sequence.result()[1] for row in self.rows]


class StoppingCriteria:
    """Stops the rows whose grammar accepts and can take nothing more."""

    def __init__(self, processor: LogitsProcessor) -> None:
        self.processor = processor

    def __call__(self, input_ids: Any, scores: Any, **kwargs: Any) -> Any:
        import torch  # type: ignore[import-not-found, unused-ignore]

        processor = self.processor
        done = [False] * int(input_ids.shape[0])
        if processor.prompt_length is not None and len(processor.rows) == len(done):
            ids = input_ids.tolist()
            for row, state in enumerate(processor.rows):
                state.follow(ids[row], processor.prompt_length)
                done[row] = state.sequence.finished
        return torch.tensor(done, dtype=torch.bool, device=input_ids.device)
