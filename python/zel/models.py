"""A stand-in language model and samplers for demos, tests and benchmarks.

``FrequencyModel`` plays the part of a language model: for the last token id
it returns log-probabilities over the whole vocabulary, from bigram and
unigram counts of sample token sequences (the JSON texts shipped in
``zel/data/`` by default), add-one smoothed, with a fixed amount of seeded
noise. Each call is a handful of vectorised numpy operations, cheap at a
vocabulary of 128k tokens or more.

The samplers take an array of shape (1, V) (or (B, V)) of float32 or float16
log-probabilities or logits, where a constrained decoder has set the
forbidden tokens to -inf, and return the chosen ids as int32 of shape (1, 1)
(or (B, 1)). They never choose an entry equal to -inf (nor NaN, taken as
-inf) while a row holds any other entry, and raise ValueError for a row
where nothing is left.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from importlib import resources
from typing import Any, Protocol, SupportsInt

import numpy as np
import numpy.typing as npt

__all__ = ["FrequencyModel", "greedy_sampler", "make_random_sampler", "sample_texts"]

_START = -1


class Tokenizer(Protocol):
    """What ``FrequencyModel.from_texts`` needs of a vocabulary."""

    @property
    def size(self) -> int: ...

    def encode(self, text: str) -> Sequence[int]: ...


def sample_texts() -> list[str]:
    """The shipped sample JSON texts: each line of ``*.jsonl``, each whole ``*.json``."""
    texts: list[str] = []
    folder = resources.files("zel").joinpath("data")
    for entry in sorted(folder.iterdir(), key=lambda e: e.name):
        if entry.name.endswith(".jsonl"):
            texts.extend(line for line in entry.read_text(encoding="utf-8").splitlines() if line.strip())
        elif entry.name.endswith(".json"):
            texts.append(entry.read_text(encoding="utf-8"))
    return texts


class FrequencyModel:
    """A deterministic bigram model over ``vocab_size`` token ids.

    ``samples`` are token id sequences (texts encoded with the tokenizer).
    For a previous id ``p`` the score of a next id ``v`` is
    ``log(1 + unigram_weight * count(v) + bigram_weight * count(p, v)) + noise[p, v]``
    normalised by log-softmax. ``bigram_weight`` defaults to ``vocab_size``,
    so that a continuation seen once weighs as much as all the unseen ones
    together and sampling mostly follows the samples. ``noise[p]`` is a fixed vector of
    normal deviates times ``noise`` drawn once from ``seed`` and rotated by
    ``p``. The first id of a sequence counts as following a start marker,
    which is the context of an empty history. ``scores`` is thus a pure
    function of the last id.
    """

    def __init__(self, vocab_size: int, samples: Iterable[Sequence[int]] = (), *, seed: int = 0,
                 unigram_weight: float = 1.0, bigram_weight: float | None = None,
                 noise: float = 0.5) -> None:
        if vocab_size < 1:
            raise ValueError(f"vocab_size must be positive, not {vocab_size}")
        self.vocab_size = int(vocab_size)
        if bigram_weight is None:
            bigram_weight = float(self.vocab_size)
        unigram = np.zeros(self.vocab_size, dtype=np.float64)
        pairs: dict[int, dict[int, int]] = {}
        for sample in samples:
            previous = _START
            for token in sample:
                token = self._check(token)
                unigram[token] += 1
                row = pairs.setdefault(previous, {})
                row[token] = row.get(token, 0) + 1
                previous = token
        self._base = (1.0 + unigram_weight * unigram).astype(np.float32)
        self._bigrams = {
            previous: (np.fromiter(row.keys(), dtype=np.int64, count=len(row)),
                       (bigram_weight * np.fromiter(row.values(), dtype=np.float64,
                                                    count=len(row))).astype(np.float32))
            for previous, row in pairs.items()
        }
        rng = np.random.default_rng(seed)
        self._noise = (noise * rng.standard_normal(self.vocab_size)).astype(np.float32)

    @classmethod
    def from_texts(cls, vocabulary: Tokenizer, texts: Iterable[str] | None = None,
                   **options: Any) -> FrequencyModel:
        """A model over ``vocabulary`` (anything with ``size`` and ``encode``)
        counted on ``texts``, by default ``sample_texts()``."""
        if texts is None:
            texts = sample_texts()
        return cls(vocabulary.size, [vocabulary.encode(text) for text in texts], **options)

    def _check(self, token: SupportsInt) -> int:
        token_id = int(token)
        if not 0 <= token_id < self.vocab_size:
            raise ValueError(f"token id {token_id} is outside 0..{self.vocab_size - 1}")
        return token_id

    def scores(self, previous_ids: Sequence[int] | np.ndarray = ()) -> np.ndarray:
        """Log-probabilities of the next token: float32 of shape (1, vocab_size)."""
        flat = np.asarray(previous_ids).reshape(-1)
        previous = self._check(flat[-1]) if flat.size else _START
        weights = self._base.copy()
        found = self._bigrams.get(previous)
        if found is not None:
            weights[found[0]] += found[1]
        logits = np.log(weights, out=weights)
        logits += np.roll(self._noise, (previous * 7919 + 1) % self.vocab_size)
        logits -= logits.max()
        logits -= np.float32(np.log(np.exp(logits, dtype=np.float64).sum()))
        return logits.reshape(1, -1)

    __call__ = scores


def _rows(log_probs: npt.ArrayLike) -> np.ndarray:
    array = np.asarray(log_probs)
    if not np.issubdtype(array.dtype, np.floating):
        raise TypeError(f"expected float32 or float16 log-probabilities, not {array.dtype}")
    if array.ndim == 1:
        array = array.reshape(1, -1)
    if array.ndim != 2 or array.shape[1] == 0:
        raise ValueError(f"expected an array of shape (1, V), not {array.shape}")
    return array


def _nothing_left(row: int) -> ValueError:
    return ValueError(f"row {row} holds only -inf (or NaN): no token can be chosen")


def greedy_sampler(log_probs: npt.ArrayLike) -> np.ndarray:
    """The id of the highest entry of each row, as int32 of shape (rows, 1)."""
    array = _rows(log_probs)
    chosen = np.argmax(array, axis=1)
    for row, column in enumerate(chosen):
        value = array[row, column]
        if np.isnan(value):
            cleaned = np.where(np.isnan(array[row]), -np.inf, array[row])
            column = chosen[row] = np.argmax(cleaned)
            value = cleaned[column]
        if value == -np.inf:
            raise _nothing_left(row)
    return chosen.astype(np.int32).reshape(-1, 1)


def make_random_sampler(seed: int = 0, temperature: float = 1.0) -> Callable[[np.ndarray], np.ndarray]:
    """A sampler drawing each row's id from softmax(log_probs / temperature).

    The draws come from its own generator seeded with ``seed``, so the same
    seed and inputs give the same ids. ``temperature`` 0 is greedy. Entries at
    +inf, if any, share all the probability.
    """
    if not (temperature >= 0 and np.isfinite(temperature)):
        raise ValueError(f"temperature must be finite and >= 0, not {temperature}")
    if temperature == 0:
        return greedy_sampler
    rng = np.random.default_rng(seed)

    def sample(log_probs: npt.ArrayLike) -> np.ndarray:
        array = _rows(log_probs)
        chosen = np.empty(array.shape[0], dtype=np.int32)
        for row in range(array.shape[0]):
            values = array[row].astype(np.float64)
            values[np.isnan(values)] = -np.inf
            top = values.max()
            if top == -np.inf:
                raise _nothing_left(row)
            if top == np.inf:
                chosen[row] = rng.choice(np.flatnonzero(values == np.inf))
                continue
            weights = np.exp((values - top) / temperature)  # -inf gives exactly 0
            cumulative = np.cumsum(weights)
            # The first index whose running sum exceeds the target has a
            # positive weight; the clamp guards the target rounding up to the total.
            column = int(np.searchsorted(cumulative, rng.random() * cumulative[-1], side="right"))
            if column >= values.size:
                column = int(np.flatnonzero(weights)[-1])
            chosen[row] = column
        return chosen.reshape(-1, 1)

    return sample
