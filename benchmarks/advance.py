"""Cost of advancing the Engine by one token on the JSON grammar.

Random JSON documents (zel.json_grammar.random_document, seeded) are
tokenized with cl100k_base (a synthetic vocabulary when it has not been
fetched) and consumed token by token with ``Engine.consume(id,
token_healing=False)``; each call is timed alone. Prints the median, 90th
and 99th percentiles and the mean in microseconds per token, and the share of
documents the grammar accepted (it must be all of them). On a shared machine
the mean and the 99th percentile carry the scheduler's pauses; the median
is the figure to compare.

Run:
    .venv/bin/python benchmarks/advance.py [--documents N]
"""

from __future__ import annotations

import random
import statistics
import time

import zel_core
from json_documents import benchmark_vocabulary, document_count
from zel.json_grammar import json_object_grammar, random_document


def main() -> None:
    documents = document_count()
    vocabulary = benchmark_vocabulary()
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    grammar = json_object_grammar()
    rng = random.Random(7)
    times = []
    accepted = 0
    for _ in range(documents):
        text = random_document(rng)
        engine.state_machine = grammar
        engine.reset()
        for token in vocabulary.encode(text):
            started = time.perf_counter()
            engine.consume(token, token_healing=False)
            times.append(time.perf_counter() - started)
        accepted += engine.has_reached_accept_state
    times.sort()
    micro = [t * 1e6 for t in times]
    print(f"{vocabulary.name}: {len(micro)} tokens, {accepted}/{documents} documents accepted")
    def percentile(share: float) -> float:
        return micro[int(share * (len(micro) - 1))]

    print(f"advance per token: p50 {statistics.median(micro):.1f} us, p90 {percentile(0.9):.1f} us, "
          f"p99 {percentile(0.99):.1f} us, mean {statistics.fmean(micro):.1f} us")


if __name__ == "__main__":
    main()
