"""Cost per token as an output grows: seconds per 1,000 consumed tokens at
the start and after 10,000 and 20,000 tokens, for a grammar that repeats a
word (every finished word joins the history) and for one long JSON array.
A flat cost means clones do not copy what was consumed before.

Run: PYTHONPATH=python .venv/bin/python benchmarks/long_outputs.py
"""

from __future__ import annotations

import time
from collections.abc import Callable

import zel_core as z
from zel.json_grammar import json_object_grammar
from zel.leaves import CharacterClass
from zel.vocabularies import synthetic_vocabulary

TOKENS = 20_000
BLOCK = 1_000


def timed_blocks(consume: Callable[[int], None]) -> list[float]:
    blocks, started = [], time.perf_counter()
    for n in range(1, TOKENS + 1):
        consume(n)
        if n % BLOCK == 0:
            now = time.perf_counter()
            blocks.append(now - started)
            started = now
    return blocks


def repeated_words() -> list[float]:
    words = ["abcd", "efgh", "ijkl", "mnop"]
    engine = z.Engine({w: i for i, w in enumerate(words)}, None, lambda ids: words[ids[0]])
    word = CharacterClass("abcdefghijklmnop", max_length=4, identifier="w")
    engine.state_machine = z.StateMachine({0: [(word, 0)]}, end_states=[0])
    engine.reset()

    def consume(n: int) -> None:
        if engine.consume(n % 4, token_healing=False) is None:
            raise RuntimeError("the word grammar refused a word")

    return timed_blocks(consume)


def long_json_array() -> list[float]:
    vocab = synthetic_vocabulary(3000)
    engine = z.Engine(vocab.vocabulary, vocab.encode, vocab.decode)
    engine.state_machine = json_object_grammar()
    engine.reset()
    engine.consume_text('{"a": [')
    one, comma = vocab.vocabulary["1"], vocab.vocabulary[","]

    def consume(n: int) -> None:
        if engine.consume(one if n % 2 else comma, token_healing=False) is None:
            raise RuntimeError("the JSON grammar refused an array element")

    return timed_blocks(consume)


def main() -> None:
    print(f"seconds per {BLOCK:,} tokens | first | after 10k | last (after {TOKENS - BLOCK:,}) | last/first")
    for name, run in (("repeated words", repeated_words), ("one JSON array", long_json_array)):
        blocks = run()
        first, middle, last = blocks[0], blocks[len(blocks) // 2], blocks[-1]
        print(f"{name:15} | {first:.3f} | {middle:.3f} | {last:.3f} | {last / first:.2f}")


if __name__ == "__main__":
    main()
