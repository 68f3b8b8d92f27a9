"""Cost of exact masks on the JSON grammar, the way MaskBench measures it.

Random JSON documents (zel.json_grammar.random_document, seeded) are
tokenized with cl100k_base (a synthetic vocabulary when it has not been
fetched). Per token: ``fill_next_token_bitmask`` into a (1, ceil(V/32)) int32
row (mask), then ``consume(id, token_healing=False)`` (advance). Prints p50,
mean, p90, p99 and max in microseconds per token for mask, advance and
mask+advance, over a first pass (the Engine computes each native leaf
state's token split the first time a mask meets it) and a second pass over
the same documents (every split known). Also:

  start-up     Engine construction, grammar set and reset, first mask (the
               token tree and the first splits are built by that mask)
  long text    one array of 10,000 tokens: mask+advance per token over its
               first and its last 1,000 tokens

Run:
    .venv/bin/python benchmarks/exact_mask.py [--documents 40]
"""

from __future__ import annotations

import random
import statistics
import time

import numpy as np

import zel_core
from json_documents import benchmark_vocabulary, document_count
from zel.json_grammar import json_object_grammar, random_document


def summary(name: str, seconds: list[float]) -> str:
    micro = sorted(s * 1e6 for s in seconds)
    at = lambda q: micro[min(len(micro) - 1, int(q * len(micro)))]  # noqa: E731
    return (f"  {name:<13} p50 {statistics.median(micro):8.1f}  mean {statistics.fmean(micro):8.1f}  "
            f"p90 {at(0.90):8.1f}  p99 {at(0.99):8.1f}  max {micro[-1]:9.1f}")


def run(engine, grammar, bitmask, documents):
    masks, advances, refused = [], [], 0
    for ids in documents:
        engine.state_machine = grammar
        engine.reset()
        for token in ids:
            started = time.perf_counter()
            engine.fill_next_token_bitmask(bitmask)
            middle = time.perf_counter()
            consumed = engine.consume(token, token_healing=False)
            ended = time.perf_counter()
            masks.append(middle - started)
            advances.append(ended - middle)
            refused += consumed is None or not (bitmask[0, token // 32] >> (token % 32)) & 1
    return masks, advances, refused


def main() -> None:
    count = document_count()
    vocabulary = benchmark_vocabulary()

    started = time.perf_counter()
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    constructed = time.perf_counter()
    grammar = json_object_grammar()
    engine.state_machine = grammar
    engine.reset()
    bitmask = np.zeros((1, (vocabulary.size + 31) // 32), dtype=np.int32)
    compiled = time.perf_counter()
    engine.fill_next_token_bitmask(bitmask)
    first_mask = time.perf_counter()
    print(f"{vocabulary.name}, {vocabulary.size} tokens")
    print(f"start-up: construction {1e3 * (constructed - started):.0f} ms, grammar "
          f"{1e3 * (compiled - constructed):.0f} ms, first mask {1e3 * (first_mask - compiled):.1f} ms")

    rng = random.Random(7)
    documents = [vocabulary.encode(random_document(rng)) for _ in range(count)]
    tokens = sum(map(len, documents))
    for label in ("first pass", "second pass"):
        masks, advances, refused = run(engine, grammar, bitmask, documents)
        print(f"{label}: {count} documents, {tokens} tokens, {refused} refused (µs per token)")
        print(summary("mask", masks))
        print(summary("advance", advances))
        print(summary("mask+advance", [m + a for m, a in zip(masks, advances)]))

    long_text = "[" + ",".join(str(i % 997) for i in range(4000)) + "]"
    ids = vocabulary.encode('{"a": ' + long_text + "}")[:10_000]
    masks, advances, _ = run(engine, grammar, bitmask, [ids])
    both = [m + a for m, a in zip(masks, advances)]
    head, tail = statistics.fmean(both[:1000]), statistics.fmean(both[-1000:])
    print(f"long text: {len(ids)} tokens, mask+advance mean over the first 1,000 {1e6 * head:.1f} µs, "
          f"over the last 1,000 {1e6 * tail:.1f} µs (ratio {tail / head:.2f})")


if __name__ == "__main__":
    main()
