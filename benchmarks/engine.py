"""Cost of the Engine's decoding-loop operations on the JSON grammar.

For vocabularies of 32k and 128k tokens (cl100k_base's first 32k tokens, and
all of cl100k_base padded with made-up pieces to 128k; a synthetic vocabulary
when cl100k_base has not been fetched), times:

  construct       Engine(vocabulary, encode, decode): one decode call per id
  compute_mask    engine.compute_token_mask(V), including the list of V bools
  mask f32 / f16  engine.mask_invalid_tokens on a (1, V) float32 / float16 row
  select          one select_next_tokens per token along a whole document
                  (mask, then select with a seeded random sampler)

Masks are timed at a few positions of a document (its start, after an
object's opening brace, inside a string, inside a number). The score row is
refilled from a saved copy before each masking, outside the timed region.

"native share" is one float32 mask_invalid_tokens less the time spent in
the grammar's Python leaves, which cProfile measures (it cannot see the
native call itself, and its own overhead lands on the Python side, so the
native share shown errs low by that overhead): conversions, tokenizing
continuations, prefix ranges, bit sets and writing into the row.

Run:
    PYTHONPATH=build/cp313-cp313-linux_x86_64:python .venv/bin/python benchmarks/engine.py [--quick]
"""

from __future__ import annotations

import argparse
import cProfile
import pstats
import statistics
import time

import numpy as np

import zel_core
from zel.json_grammar import json_object_grammar
from zel.models import make_random_sampler
from zel.vocabularies import load_vocabulary, synthetic_vocabulary

POSITIONS = {
    "start": "",
    "object": '{"',
    "string": '{"name": "Ada Lov',
    "number": '{"age": 3',
}


def median_time(function, runs: int, setup=None) -> float:
    times = []
    for _ in range(runs):
        if setup is not None:
            setup()
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def vocabularies(sizes):
    try:
        base = load_vocabulary()
    except FileNotFoundError:
        base = None
    for size in sizes:
        yield synthetic_vocabulary(size, base=base)


def engine_at(vocabulary, prefix: str) -> zel_core.Engine:
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    engine.state_machine = json_object_grammar()
    engine.reset()
    if prefix:
        engine.consume_text(prefix)
    return engine


def python_seconds(engine: zel_core.Engine, row: np.ndarray, runs: int) -> float:
    """Seconds per mask spent in Python functions, under cProfile."""
    saved = row.copy()
    profile = cProfile.Profile()
    for _ in range(runs):
        row[...] = saved
        profile.enable()
        engine.mask_invalid_tokens(row)
        profile.disable()
    stats = pstats.Stats(profile).stats
    python = sum(tottime for (filename, _, _), (_, _, tottime, _, _) in stats.items()
                 if filename.endswith(".py"))
    return python / runs


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    runs = 3 if options.quick else 9
    sizes = [32_000, 128_000]

    print(f"{'V':>7} {'operation':<26} {'median':>10}")
    for vocabulary in vocabularies(sizes):
        size = vocabulary.size
        construct = median_time(
            lambda: zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode),
            max(3, runs // 3))
        print(f"{size:>7} {'construct':<26} {construct * 1e3:>8.1f} ms")

        rng = np.random.default_rng(0)
        scores32 = rng.standard_normal((1, size)).astype(np.float32)
        for position, prefix in POSITIONS.items():
            engine = engine_at(vocabulary, prefix)
            mask_time = median_time(lambda: engine.compute_token_mask(size), runs)
            allowed = sum(engine.compute_token_mask(size))
            print(f"{size:>7} {'compute_mask ' + position:<26} {mask_time * 1e3:>8.3f} ms"
                  f"  ({allowed} allowed)")
            whole = {}
            for dtype in (np.float32, np.float16):
                row = scores32.astype(dtype)
                saved = row.copy()
                name = f"mask {np.dtype(dtype).name} {position}"
                elapsed = median_time(lambda: engine.mask_invalid_tokens(row), runs,
                                      setup=lambda: np.copyto(row, saved))
                print(f"{size:>7} {name:<26} {elapsed * 1e3:>8.3f} ms")
                whole[dtype] = elapsed
            python = python_seconds(engine, scores32.copy(), runs)
            native = whole[np.float32] - python
            print(f"{size:>7} {'  native share ' + position:<26} {native * 1e3:>8.3f} ms"
                  f"  (Python leaves {python * 1e3:.3f} ms)")

        per_token = []
        for seed in range(max(2, runs // 3)):
            engine = engine_at(vocabulary, "")
            sampler = make_random_sampler(seed)
            tokens = 0
            started = time.perf_counter()
            while not engine.has_reached_accept_state and tokens < 200:
                row = scores32.copy()
                engine.mask_invalid_tokens(row)
                tokens += len(engine.select_next_tokens(row, sampler))
            per_token.append((time.perf_counter() - started) / max(tokens, 1))
        print(f"{size:>7} {'mask + select per token':<26} {statistics.median(per_token) * 1e3:>8.3f} ms")


if __name__ == "__main__":
    main()
