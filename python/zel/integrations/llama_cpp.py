"""zel in llama-cpp-python: a logits processor and a low-level driver.

Both apply the Engine's exact mask before every draw, so whatever sampler
llama.cpp runs afterwards draws a token the grammar allows; the end-of-text
ids (the Engine's ``control_tokens``, see ``zel.tokenizers.from_llama``) are
allowed exactly when the grammar may end, and they are the only ids allowed
once nothing can follow, so generation stops there.

``LogitsProcessor(engine)`` goes into ``logits_processor=`` of
``Llama.create_completion``/``create_chat_completion``::

    tokenizer = from_llama(llm)
    engine = tokenizer.engine()
    engine.state_machine = grammar
    result = complete(llm, engine, prompt, max_tokens=200)   # or by hand:
    processor = LogitsProcessor(engine)
    response = llm.create_completion(prompt, logits_processor=LogitsProcessorList([processor]))
    processor.value                                           # the parsed output

``generate(llm, engine, prompt_tokens)`` runs the loop itself (evaluate,
mask, sample, consume), with a numpy sampler, and reports what zel cost.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Collection, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import zel_core
from zel.integrations.constrained import Completion, ConstrainedSequence, GrammarRefused

__all__ = ["Completion", "GrammarRefused", "LogitsProcessor", "complete", "complete_chat",
           "end_token_ids", "generate", "greedy", "make_sampler"]


def end_token_ids(llama: Any) -> list[int]:
    """The ids that end generation for ``llama`` (its end-of-generation ids)."""
    import llama_cpp  # type: ignore[import-not-found, unused-ignore]

    vocab = llama_cpp.llama_model_get_vocab(llama.model)
    ids = [i for i in range(llama.n_vocab()) if llama_cpp.llama_vocab_is_eog(vocab, i)]
    eos = llama.token_eos()
    return ids if eos in ids or eos < 0 else [eos, *ids]


class LogitsProcessor:
    """A llama-cpp-python logits processor that constrains to the Engine's grammar.

    Called with every id so far and the next scores (1-D, possibly strided),
    it consumes the ids emitted since its last call and masks the scores in
    place. A call whose ids do not extend the ones it saw starts a new
    output (the Engine is reset); ``reset()`` does so explicitly.
    ``end_tokens`` are the ids that end an output (by default none is
    consumed as such: llama.cpp stops at its end-of-generation ids before
    asking again). After the output: ``token_ids`` (those consumed),
    ``accepted`` and ``value`` (the parsed output, once accepted).
    """

    def __init__(self, engine: zel_core.Engine, end_tokens: Collection[int] = ()) -> None:
        self.sequence = ConstrainedSequence(engine, end_tokens)

    @property
    def engine(self) -> zel_core.Engine:
        return self.sequence.engine

    def reset(self) -> None:
        self.sequence.reset()

    def __call__(self, input_ids: npt.NDArray[np.intc] | Sequence[int],
                 scores: npt.NDArray[np.single]) -> npt.NDArray[np.single]:
        self.sequence.update(input_ids)
        return self.sequence.mask(scores)

    @property
    def token_ids(self) -> list[int]:
        return list(self.sequence.token_ids)

    @property
    def accepted(self) -> bool:
        return self.sequence.result()[0]

    @property
    def value(self) -> Any:
        return self.sequence.result()[1]

    @property
    def zel_seconds(self) -> float:
        return self.sequence.zel_seconds


def _completion(processor: LogitsProcessor, response: dict, text: str, seconds: float) -> Completion:
    # llama.cpp stopped at an end token without asking the processor again:
    # the last token it drew is not yet consumed.
    accepted, value = processor.sequence.result()
    choice = response["choices"][0]
    return Completion(text=text, value=value, token_ids=processor.token_ids, accepted=accepted,
                      finish_reason=choice.get("finish_reason") or "length", seconds=seconds,
                      zel_seconds=processor.zel_seconds, response=response)


def _with_processor(engine: zel_core.Engine, options: dict) -> LogitsProcessor:
    from llama_cpp import LogitsProcessorList  # type: ignore[import-not-found, unused-ignore]

    processor = LogitsProcessor(engine)
    processors = LogitsProcessorList(list(options.pop("logits_processor", None) or []))
    processors.append(processor)
    options["logits_processor"] = processors
    return processor


def complete(llama: Any, engine: zel_core.Engine, prompt: str, **options: Any) -> Completion:
    """``llama.create_completion(prompt, **options)`` constrained by ``engine``.

    The output's last token is consumed by the processor only when llama.cpp
    asks for another; the returned value is therefore re-read after the text
    is complete (see ``Completion``).
    """
    processor = _with_processor(engine, options)
    started = time.perf_counter()
    response = llama.create_completion(prompt, **options)
    seconds = time.perf_counter() - started
    text = response["choices"][0]["text"]
    _consume_tail(processor, llama, text)
    return _completion(processor, response, text, seconds)


def complete_chat(llama: Any, engine: zel_core.Engine, messages: list[dict], **options: Any) -> Completion:
    """``llama.create_chat_completion(messages, **options)`` constrained by ``engine``."""
    processor = _with_processor(engine, options)
    started = time.perf_counter()
    response = llama.create_chat_completion(messages, **options)
    seconds = time.perf_counter() - started
    text = response["choices"][0]["message"]["content"] or ""
    _consume_tail(processor, llama, text)
    return _completion(processor, response, text, seconds)


def _consume_tail(processor: LogitsProcessor, llama: Any, text: str) -> None:
    """Consumes what the output holds past the ids the processor saw: the
    last token, drawn after the processor's final call."""
    seen = processor.sequence.token_ids
    emitted = llama.detokenize(seen).decode("utf-8", errors="replace") if seen else ""
    if text.startswith(emitted) and len(text) > len(emitted):
        engine = processor.engine
        started = time.perf_counter()
        engine.consume_text(text[len(emitted):])
        processor.sequence.zel_seconds += time.perf_counter() - started


# --- the low-level loop ------------------------------------------------------

Sampler = Callable[[np.ndarray], int]


def greedy(scores: np.ndarray) -> int:
    return int(np.argmax(scores))


def make_sampler(temperature: float = 0.0, seed: int = 0) -> Sampler:
    """Greedy at temperature 0, else a draw from softmax(scores / temperature)."""
    if temperature <= 0:
        return greedy
    rng = np.random.default_rng(seed)

    def sample(scores: np.ndarray) -> int:
        scaled = scores.astype(np.float64) / temperature
        scaled -= scaled.max()
        weights = np.exp(scaled)
        return int(rng.choice(len(weights), p=weights / weights.sum()))

    return sample


def _last_logits(llama: Any) -> np.ndarray:
    import llama_cpp  # type: ignore[import-not-found, unused-ignore]

    return np.ctypeslib.as_array(llama_cpp.llama_get_logits(llama.ctx), shape=(llama.n_vocab(),))


def generate(llama: Any, engine: zel_core.Engine | None, prompt_tokens: Sequence[int], *,
             max_tokens: int = 256, sampler: Sampler = greedy,
             end_tokens: Collection[int] | None = None,
             on_token: Callable[[int], None] | None = None) -> Completion:
    """Evaluates the prompt, then per token: mask the model's scores, draw
    with ``sampler``, consume, evaluate. ``engine=None`` runs the same loop
    unconstrained (for comparison). Stops at an end token (by default the
    model's end-of-generation ids), when nothing can follow, or after
    ``max_tokens``; the Completion holds the text, its parsed value and the
    time spent in zel."""
    ends = set(end_token_ids(llama) if end_tokens is None else end_tokens)
    sequence = ConstrainedSequence(engine, ends) if engine is not None else None
    started = time.perf_counter()
    if sequence is not None:
        sequence.start(len(prompt_tokens))
    llama.reset()
    llama.eval(list(prompt_tokens))
    prompt_seconds = time.perf_counter() - started
    ids: list[int] = []
    steps: list[float] = []
    reason = "length"
    while len(ids) < max_tokens:
        step_started = time.perf_counter()
        scores = np.array(_last_logits(llama), dtype=np.float32)
        if sequence is not None:
            if sequence.finished:
                reason = "stop"
                break
            sequence.mask(scores)
            if not np.isfinite(scores).any():
                raise GrammarRefused("the grammar allows no token here and no end token is listed")
        token = sampler(scores)
        if token in ends:
            reason = "stop"
            break
        if sequence is not None:
            sequence.advance(token)
        ids.append(token)
        if on_token is not None:
            on_token(token)
        llama.eval([token])
        steps.append(time.perf_counter() - step_started)
    seconds = time.perf_counter() - started - prompt_seconds
    text = llama.detokenize(ids).decode("utf-8", errors="replace")
    accepted, value = sequence.result() if sequence is not None else (False, None)
    return Completion(text=text, value=value, token_ids=ids, accepted=accepted, finish_reason=reason,
                      seconds=seconds, zel_seconds=sequence.zel_seconds if sequence else 0.0,
                      prompt_seconds=prompt_seconds, step_seconds=steps)
