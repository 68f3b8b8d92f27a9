"""Cost of one ``StateMachine.advance_all`` call.

Main setup: N independent one-edge root machines ("root{i}" --> literal leaf
"lit{i}", a ``leaves.Lit`` Python subclass), one Stepper from each. The
distinct identifiers make the N outcomes distinct deltas, so the result set
really holds N entries. advance_all never changes the Steppers it is given,
so the same list is advanced again and again.

Second setup ("wide root"): the N leaves hang off one shared root machine with
N parallel edges, the shape of a large alternation. The result set orders
deltas by Stepper equality, which compares the Steppers' machines
structurally, edge by edge; with a shared N-edge root each comparison costs
O(N), which this table makes visible.

Token scenarios:
  single    token "a" against literals "abcdefgh": full match, nothing to heal
  multi     token "abcd" against literals "abcdefgh": full match, nothing to heal
  partial   token "abcdef" against literals "abc": every Stepper keeps "def" as
            remaining input, so healing (when on) looks the matched "abc" up
            in the vocabulary by longest prefix

Healing settings: off (vocab None, token_healing False), and on with a
vocabulary (TrieMap of random strings plus "a", "ab", "abc") of 1k and of
128k keys. Both TrieMaps are built once, before any timing. Configurations
are timed round-robin (so drift from other load hits them alike) and the
median is reported.

Run:
    PYTHONPATH=build/cp313-cp313-linux_x86_64 .venv/bin/python benchmarks/paths.py [--quick]
"""

import argparse
import gc
import os
import random
import statistics
import string
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zel_core as z  # noqa: E402
from leaves import Lit  # noqa: E402

SCENARIOS = {
    "single": ("abcdefgh", "a"),
    "multi": ("abcdefgh", "abcd"),
    "partial": ("abc", "abcdef"),
}
ALPHABET = string.ascii_letters + string.digits + " _.,-"


def make_vocab(size, seed):
    rng = random.Random(seed)
    vocab = z.TrieMap()
    for i, key in enumerate(("a", "ab", "abc")):
        vocab.insert(key, i)
    next_id = 3
    while vocab.size < size:
        key = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(2, 12)))
        vocab.insert(key, next_id)
        next_id += 1
    return vocab


def make_steppers(n, text):
    steppers = []
    for i in range(n):
        root = z.StateMachine({0: [(Lit(text, identifier=f"lit{i}"), "$")]}, identifier=f"root{i}")
        steppers.extend(root.get_steppers())
    assert len(steppers) == n
    return steppers


def make_wide_steppers(n, text):
    root = z.StateMachine({0: [(Lit(text, identifier=f"lit{i}"), "$") for i in range(n)]})
    steppers = root.get_steppers()
    assert len(steppers) == n
    return steppers


def time_calls(steppers, token, vocab, healing, number):
    advance = z.StateMachine.advance_all
    t = time.perf_counter()
    for _ in range(number):
        advance(steppers, token, vocab, healing)
    return (time.perf_counter() - t) / number


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="N up to 1,000 and fewer repeats")
    ap.add_argument("--repeats", type=int, help="timed samples per configuration (default 7, quick 3)")
    args = ap.parse_args()
    sizes = (1, 100, 1_000) if args.quick else (1, 100, 10_000)
    repeats = args.repeats or (3 if args.quick else 7)
    budget = 0.004 if args.quick else 0.02  # seconds per timed sample

    t0 = time.perf_counter()
    vocabs = {"1k": make_vocab(1_000, 11), "128k": make_vocab(128_000, 12)}
    build_s = time.perf_counter() - t0
    healing = {"off": (None, False), "on 1k": (vocabs["1k"], True), "on 128k": (vocabs["128k"], True)}

    configs = []  # (n, scenario, heal label, steppers, token, vocab, flag, number)
    for n in sizes:
        for scen, (text, token) in SCENARIOS.items():
            steppers = make_steppers(n, text)
            for label, (vocab, flag) in healing.items():
                configs.append([n, scen, label, steppers, token, vocab, flag, 1])

    # result shape and calibration (also warms every code path)
    shape = {}
    for cfg in configs:
        n, scen, label, steppers, token, vocab, flag, _ = cfg
        deltas = z.StateMachine.advance_all(steppers, token, vocab, flag)
        shape[(n, scen, label)] = (len(deltas), sum(d.was_healed for d in deltas),
                                   deltas[0].token if deltas else "-")
        once = time_calls(steppers, token, vocab, flag, 1)
        cfg[7] = max(1, int(budget / max(once, 1e-7)))

    samples = {(c[0], c[1], c[2]): [] for c in configs}
    for _ in range(repeats):
        for n, scen, label, steppers, token, vocab, flag, number in configs:
            gc.collect()
            samples[(n, scen, label)].append(time_calls(steppers, token, vocab, flag, number))
    med = {k: statistics.median(v) for k, v in samples.items()}

    print(f"advance_all: median of {repeats} samples per configuration "
          f"(vocabularies built in {build_s:.2f} s, outside timing; "
          f"sizes {vocabs['1k'].size:,} and {vocabs['128k'].size:,} keys)")
    print()
    print(f"{'steppers':>8} {'token':<16}{'healing':<9}{'us/call':>11}{'us/stepper':>12}"
          f"{'deltas':>8}{'healed':>8}  credited token")
    for n in sizes:
        for scen, (_text, token) in SCENARIOS.items():
            for label in healing:
                us = med[(n, scen, label)] * 1e6
                nd, nh, tok = shape[(n, scen, label)]
                print(f"{n:>8,} {scen + ' ' + repr(token):<16}{label:<9}{us:>11.1f}{us / n:>12.3f}"
                      f"{nd:>8,}{nh:>8,}  {tok}")
        print()

    print("vocabulary size independence: time(128k keys) / time(1k keys), healing on")
    print(f"{'steppers':>8} " + "".join(f"{s:>10}" for s in SCENARIOS))
    worst = 0.0
    for n in sizes:
        ratios = [med[(n, s, "on 128k")] / med[(n, s, "on 1k")] for s in SCENARIOS]
        worst = max(worst, *ratios)
        print(f"{n:>8,} " + "".join(f"{r:>10.2f}" for r in ratios))
    print(f"largest ratio: {worst:.2f} (the vocabulary is read in place through longest-prefix")
    print("lookups; a per-call copy of a 128k-key TrieMap would show here as a large ratio)")
    print()
    print("partial-match token, healing on (1k) minus off, per stepper: the prefix lookup plus")
    print("the delta that healing keeps (with healing off the Stepper is dropped, nothing inserted)")
    print("".join(f"  N={n:,}: {(med[(n, 'partial', 'on 1k')] - med[(n, 'partial', 'off')]) / n * 1e6:.2f} us"
                  for n in sizes))
    print()

    wide_sizes = (10, 100, 300) if args.quick else (10, 100, 1_000)
    wide_repeats = 3
    text, token = SCENARIOS["multi"]
    print(f"wide root (N edges on one shared machine), token {token!r}, healing off, "
          f"median of {wide_repeats}:")
    print(f"{'steppers':>8}{'us/call':>14}{'us/stepper':>12}{'deltas':>8}")
    for n in wide_sizes:
        steppers = make_wide_steppers(n, text)
        nd = len(z.StateMachine.advance_all(steppers, token, None, False))
        number = max(1, int(budget / max(time_calls(steppers, token, None, False, 1), 1e-7)))
        times = []
        for _ in range(wide_repeats):
            gc.collect()
            times.append(time_calls(steppers, token, None, False, number))
        us = statistics.median(times) * 1e6
        print(f"{n:>8,}{us:>14,.1f}{us / n:>12.2f}{nd:>8,}")
    print("(per-stepper cost growing with N = the machine comparison inside the delta set)")
    print(f"[total {time.perf_counter() - t0:.1f} s]")


if __name__ == "__main__":
    main()
