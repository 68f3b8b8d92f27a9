"""Exactness of the Engine's exact mask over a real vocabulary.

At random positions of random JSON documents (``zel.json_grammar``), under
``json_object_grammar()`` and cl100k_base (``make vocabulary``; a synthetic
vocabulary when it has not been fetched), compares the mask that
``fill_next_token_bitmask`` writes with the truth: token t is valid when
``consume(t, token_healing=False)`` keeps a stepper, tried for every id of the
vocabulary from the same steppers. The Engine is built without multi-token
sampling, so ``consume`` advances over each token's own text.

Prints, per position, the text before it, allowed, valid, wrongly allowed and
wrongly refused counts and the mask's time; then precision and recall over all
positions, and the same figures for the inexact ``compute_token_mask``.
Exits with status 1 when the exact mask is not exact.

Run:
    PYTHONPATH=build/cp313-cp313-linux_x86_64:python .venv/bin/python benchmarks/exactness.py [--positions 24]
"""

from __future__ import annotations

import argparse
import random
import sys
import time

import numpy as np

import zel_core
from zel.json_grammar import json_object_grammar, random_document
from zel.vocabularies import load_vocabulary, synthetic_vocabulary


def unpack(bitmask: np.ndarray, size: int) -> np.ndarray:
    return np.unpackbits(bitmask.view(np.uint8), bitorder="little")[:size].astype(bool)


def valid_tokens(engine: zel_core.Engine, size: int) -> np.ndarray:
    """Every id tried by consume from the current steppers, which are put back after each."""
    start = engine.steppers
    valid = np.zeros(size, dtype=bool)
    for token in range(size):
        if engine.consume(token, token_healing=False) is not None:
            valid[token] = True
            engine.steppers = start
    return valid


def positions(rng: random.Random, count: int, vocabulary) -> list[tuple[list[int], int]]:
    """(token ids of a document, a cut point in it): the start, a few cuts
    after a document's first token, the rest anywhere."""
    chosen = []
    while len(chosen) < count:
        ids = vocabulary.encode(random_document(rng))
        cut = 0 if not chosen else rng.randrange(0, len(ids) + 1)
        chosen.append((ids, cut))
    return chosen


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--positions", type=int, default=24)
    parser.add_argument("--seed", type=int, default=14)
    args = parser.parse_args()

    try:
        vocabulary = load_vocabulary()
    except FileNotFoundError:
        vocabulary = synthetic_vocabulary(32768, seed=1)
    size = vocabulary.size
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode,
                             multi_token_sampling=False)
    engine.state_machine = json_object_grammar()
    bitmask = np.zeros((1, (size + 31) // 32), dtype=np.int32)
    rng = random.Random(args.seed)
    totals = {"exact": [0, 0, 0], "inexact": [0, 0, 0]}  # allowed and valid, allowed, valid
    print(f"{size} tokens, {args.positions} positions")
    print(f"{'text before the position':<34} {'allowed':>8} {'valid':>8} {'wrong+':>7} {'wrong-':>7} {'mask ms':>8}")
    for ids, cut in positions(rng, args.positions, vocabulary):
        engine.reset()
        for token in ids[:cut]:
            if engine.consume(token, token_healing=False) is None:
                raise SystemExit(f"the document's own token {token} was refused")
        started = time.perf_counter()
        engine.fill_next_token_bitmask(bitmask)
        elapsed = time.perf_counter() - started
        allowed = unpack(bitmask, size)
        inexact = np.array(engine.compute_token_mask(size), dtype=bool)
        valid = valid_tokens(engine, size)
        for name, mask in (("exact", allowed), ("inexact", inexact)):
            totals[name][0] += int((mask & valid).sum())
            totals[name][1] += int(mask.sum())
            totals[name][2] += int(valid.sum())
        before = vocabulary.decode(ids[:cut])[-30:]
        print(f"{before!r:<34} {allowed.sum():>8} {valid.sum():>8} {(allowed & ~valid).sum():>7} "
              f"{(valid & ~allowed).sum():>7} {elapsed * 1e3:>8.1f}")
    for name, (both, allowed, valid) in totals.items():
        precision = both / allowed if allowed else 1.0
        recall = both / valid if valid else 1.0
        print(f"{name:>8}: allowed {allowed}, valid {valid}, precision {precision:.6f}, recall {recall:.6f}")
    both, allowed, valid = totals["exact"]
    return 0 if both == allowed == valid else 1


if __name__ == "__main__":
    sys.exit(main())
