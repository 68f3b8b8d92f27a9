"""Walking throughput of a grammar whose leaves are Python subclasses.

Grammar (records of the form ``key=value;``, repeated without limit):

    records:  0 --record--> 0            (end state 0: the loop)
    record:   0 --key--> 1 --"="--> 2 --value--> 3 --";"--> $
    key   = Chars(a-z, 1..12)      value = Chars(a-z0-9, 1..12)
    "=", ";" = Lit

The input is a seeded random sequence of records, cut at a record boundary.
It is fed with ``StateMachine.advance_all_basic`` either one character at a
time or in tokens of 2..6 characters (mean 4). Printed figures:

1. throughput (characters per second, median of --runs runs), over the whole
   input and over its first and last tenth. The root Stepper's history grows
   by one entry per record and travels with every clone, so the last tenth is
   the place to look for costs that grow with the length of the walk;
2. where the time goes: cProfile (Python-level view) and, when py-spy is
   installed, a native sampling profile that splits self time between the
   leaf classes' Python code, the native/binding layer and the driver;
3. dispatch cost of the native operations when no Python override is
   involved: ``get_steppers`` on plain machines, on Python subclasses that
   override nothing, and on subclasses that override ``get_new_stepper``;
   ``clone`` of plain and subclassed Steppers.

Run:
    PYTHONPATH=build/cp313-cp313-linux_x86_64 .venv/bin/python benchmarks/walk.py [--quick]
"""

import argparse
import cProfile
import collections
import os
import pstats
import random
import shutil
import statistics
import string
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zel_core as z  # noqa: E402
from leaves import LEAF_CLASSES, Chars, Lit  # noqa: E402

KEY_CHARS = string.ascii_lowercase
VALUE_CHARS = string.ascii_lowercase + string.digits
LEAF_FILE = os.path.abspath(sys.modules[LEAF_CLASSES[0].__module__].__file__)


# --------------------------------------------------------------------------- grammar and input


def build_grammar():
    key = Chars(KEY_CHARS, 12, identifier="key")
    value = Chars(VALUE_CHARS, 12, identifier="value")
    record = z.StateMachine(
        {0: [(key, 1)], 1: [(Lit("="), 2)], 2: [(value, 3)], 3: [(Lit(";"), "$")]},
        identifier="record",
    )
    return z.StateMachine({0: [(record, 0)]}, end_states=[0], identifier="records")


def make_input(size, seed=1):
    rng = random.Random(seed)
    parts, total = [], 0
    while total < size:
        k = "".join(rng.choice(KEY_CHARS) for _ in range(rng.randint(3, 10)))
        v = "".join(rng.choice(VALUE_CHARS) for _ in range(rng.randint(1, 10)))
        rec = f"{k}={v};"
        parts.append(rec)
        total += len(rec)
    return "".join(parts)


def split_tokens(text, seed=2):
    rng = random.Random(seed)
    out, i = [], 0
    while i < len(text):
        n = rng.randint(2, 6)
        out.append(text[i:i + n])
        i += n
    return out


# --------------------------------------------------------------------------- walking


def walk(root, chunks, marks=()):
    """Feed `chunks` to the grammar. Returns (final steppers, {mark: time})."""
    advance = z.StateMachine.advance_all_basic
    stamps = {}
    marks = set(marks)
    steppers = root.get_steppers()
    t0 = time.perf_counter()
    for i, chunk in enumerate(chunks):
        if i in marks:
            stamps[i] = time.perf_counter() - t0
        steppers = advance(steppers, chunk)
        if not steppers:
            raise RuntimeError(f"grammar rejected chunk {i}: {chunk!r}")
    stamps[len(chunks)] = time.perf_counter() - t0
    return steppers, stamps


def measure_walk(root, chunks, runs):
    n = len(chunks)
    tenth = max(1, n // 10)
    marks = (0, tenth, n - tenth)
    chars_first = sum(len(c) for c in chunks[:tenth])
    chars_last = sum(len(c) for c in chunks[n - tenth:])
    chars_all = sum(len(c) for c in chunks)
    whole, first, last = [], [], []
    final = None
    for _ in range(runs):
        final, st = walk(root, chunks, marks)
        whole.append(chars_all / st[n])
        first.append(chars_first / (st[tenth] - st[0]))
        last.append(chars_last / (st[n] - st[n - tenth]))
    accepted = any(s.has_reached_accept_state() for s in final)
    history = max(len(s.history) for s in final)
    return {
        "all": statistics.median(whole),
        "first": statistics.median(first),
        "last": statistics.median(last),
        "spread": (min(whole), max(whole)),
        "live": len(final),
        "accepted": accepted,
        "history": history,
    }


# --------------------------------------------------------------------------- profiling


def cprofile_shares(root, chunks):
    prof = cProfile.Profile()
    prof.enable()
    walk(root, chunks)
    prof.disable()
    stats = pstats.Stats(prof).stats
    total = leaf_self = leaf_incl_top = 0.0
    calls = 0
    by_method = collections.Counter()
    for (filename, _line, func), (_cc, nc, tt, ct, callers) in stats.items():
        total += tt
        if os.path.abspath(filename) == LEAF_FILE:
            leaf_self += tt
            calls += nc
            by_method[func] += tt
            # inclusive time of leaf calls entered from outside the leaf file
            outside = sum(
                c[3] for (cf, _cl, _cn), c in callers.items() if os.path.abspath(cf) != LEAF_FILE
            )
            leaf_incl_top += outside
    return total, leaf_self, leaf_incl_top, calls, by_method


def spy_binary():
    cand = os.path.join(os.path.dirname(sys.executable), "py-spy")
    return cand if os.path.exists(cand) else shutil.which("py-spy")


def pyspy_shares(mode, size, seconds, rate=500):
    """Sample a child walk with py-spy --native and split self time by owner."""
    spy = spy_binary()
    if not spy:
        return None, "py-spy not installed (pip install py-spy)"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "raw.txt")
        cmd = [spy, "record", "--native", "-r", str(rate), "-f", "raw", "-o", out, "--",
               sys.executable, os.path.abspath(__file__), "--child", mode, str(size), str(seconds)]
        proc = subprocess.run(cmd, capture_output=True, text=True, env=os.environ.copy())
        if proc.returncode != 0 or not os.path.exists(out):
            return None, "py-spy failed: " + (proc.stderr.strip().splitlines() or ["?"])[-1]
        owners, native = collections.Counter(), collections.Counter()
        with open(out) as fh:
            for line in fh:
                stack, _, count = line.rstrip("\n").rpartition(" ")
                frames = stack.split(";")
                owner = classify(frames)
                if owner:
                    owners[owner] += int(count)
                if owner == "native / binding layer":
                    named = [f.split(" (")[0] for f in frames if f.startswith(("zel::", "nanobind::"))]
                    native[named[-1] if named else "(no named frame: destructors, glue)"] += int(count)
    return (owners, native), None


def classify(frames):
    """Owner of one sample, or None for samples outside the walk (start-up)."""
    if not any(f.startswith("walk (walk.py:") for f in frames):
        return None
    if any(f.startswith("gc_collect") for f in frames):
        return "cyclic GC"
    for frame in reversed(frames):
        if ".py:" in frame:
            return "leaf Python code" if "leaves.py:" in frame else "driver loop"
        if "zel_core" in frame:
            return "native / binding layer"
    return "interpreter / other"


def child_walk(mode, size, seconds):
    root = build_grammar()
    text = make_input(size)
    chunks = list(text) if mode == "char" else split_tokens(text)
    end = time.perf_counter() + seconds
    while True:
        walk(root, chunks)
        if time.perf_counter() >= end:
            break


# --------------------------------------------------------------------------- dispatch micro-benchmarks


def per_call_us(cases, number, repeat):
    """Median microseconds per call of each fn in `cases`, timed round-robin."""
    samples = [[] for _ in cases]
    for fn in cases:  # warm-up
        for _ in range(number // 10 + 1):
            fn()
    for _ in range(repeat):
        for i, fn in enumerate(cases):
            t = time.perf_counter()
            for _ in range(number):
                fn()
            samples[i].append((time.perf_counter() - t) / number * 1e6)
    return [statistics.median(s) for s in samples]


class NoOverrideMachine(z.StateMachine):
    """A Python subclass that overrides nothing: every virtual call looks for
    an override, finds none and runs the native operation."""


class NoOverrideStepper(z.Stepper):
    pass


class OverrideMachine(z.StateMachine):
    def get_new_stepper(self, state=None):
        return z.Stepper(self, state)


def dispatch_table(number, repeat, fanout=8):
    rows = []  # (label, fn, units per call)
    for label, cls in (
        ("plain StateMachine (native only)", z.StateMachine),
        ("Python subclass, no override", NoOverrideMachine),
        ("Python subclass, get_new_stepper overridden", OverrideMachine),
    ):
        root = z.StateMachine({0: [(cls(), i) for i in range(fanout)]})
        assert len(root.get_steppers()) == fanout
        rows.append((f"get_steppers, {fanout} edges: {label}", root.get_steppers, fanout))
    for label, root in (
        ("plain StateMachine (native only)", z.StateMachine({0: [(z.StateMachine(), 1)]})),
        ("Python subclass, no override", NoOverrideMachine({0: [(NoOverrideMachine(), 1)]})),
    ):
        s = root.get_steppers()[0]
        rows.append((f"branch_stepper, 1 edge: {label}",
                     lambda root=root, s=s: root.branch_stepper(s), 1))
    m = z.StateMachine()
    for label, s in (
        ("plain Stepper", z.Stepper(m)),
        ("Stepper subclass, no override", NoOverrideStepper(m)),
        ("leaf Stepper (LitStepper)", Lit("abc").get_new_stepper()),
    ):
        rows.append((f"clone: {label}", s.clone, 1))
    times = per_call_us([fn for _, fn, _ in rows], number, repeat)
    return [(label, us, us / units) for (label, _, units), us in zip(rows, times)]


# --------------------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="5 kB input, fewer repeats")
    ap.add_argument("--size", type=int, help="input size in bytes (default 100000, quick 5000)")
    ap.add_argument("--runs", type=int, help="timed runs per mode (default 3, quick 3)")
    ap.add_argument("--no-spy", action="store_true", help="skip the py-spy profile")
    ap.add_argument("--child", nargs=3, metavar=("MODE", "SIZE", "SECONDS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child_walk(args.child[0], int(args.child[1]), float(args.child[2]))
        return

    size = args.size or (5_000 if args.quick else 100_000)
    runs = args.runs or 3
    prof_size = min(size, 5_000 if args.quick else 20_000)
    root = build_grammar()
    text = make_input(size)
    modes = {"char": list(text), "token": split_tokens(text)}

    print(f"zel_core walk benchmark: {len(text)} chars, {text.count(';')} records, "
          f"median of {runs} runs")
    print()
    print(f"{'mode':<8}{'chunks':>8}{'chars/s all':>14}{'first 10%':>12}{'last 10%':>12}"
          f"{'min..max all':>20}{'live':>6}{'history':>9}  accepted")
    t_start = time.perf_counter()
    for mode, chunks in modes.items():
        r = measure_walk(root, chunks, runs)
        lo, hi = r["spread"]
        print(f"{mode:<8}{len(chunks):>8}{r['all']:>14,.0f}{r['first']:>12,.0f}{r['last']:>12,.0f}"
              f"{f'{lo:,.0f}..{hi:,.0f}':>20}{r['live']:>6}{r['history']:>9}  {r['accepted']}")
    print(f"(token mode: 2..6 chars per token, mean {len(text) / len(modes['token']):.2f}; "
          f"'history' = entries in the root Stepper's history at the end)")
    print(f"[timing section took {time.perf_counter() - t_start:.1f} s]")

    print()
    print(f"cProfile over the first {prof_size} chars (deterministic; inflates Python-side time):")
    print(f"{'mode':<8}{'leaf self':>11}{'leaf incl':>11}{'leaf calls':>12}  top leaf methods (self)")
    ptext = text[:prof_size]
    ptext = ptext[:ptext.rfind(";") + 1]
    for mode, chunks in (("char", list(ptext)), ("token", split_tokens(ptext))):
        total, leaf_self, leaf_incl, calls, by_method = cprofile_shares(root, chunks)
        top = ", ".join(f"{name} {t / total:.0%}" for name, t in by_method.most_common(3))
        print(f"{mode:<8}{leaf_self / total:>11.0%}{leaf_incl / total:>11.0%}{calls:>12,}  {top}")
    print("  leaf self = time inside the leaf classes' Python methods, excluding their Python callees")
    print("              but including native calls they make (self.step, get_raw_value, ...);")
    print("  leaf incl = the same calls including everything below them; the rest is native")
    print("              traversal, nanobind dispatch and the driver loop.")

    if not args.no_spy:
        print()
        print(f"py-spy --native sampling over the first {prof_size} chars (self time by owner):")
        for mode in ("char", "token"):
            res, err = pyspy_shares(mode, prof_size, 1.0 if args.quick else 2.0)
            if err:
                print(f"  {err}")
                break
            owners, native = res
            total = sum(owners.values())
            parts = ", ".join(f"{k} {v / total:.0%}" for k, v in owners.most_common())
            print(f"  {mode:<6} ({total} samples): {parts}")
            hot = ", ".join(f"{k} {v / total:.0%}" for k, v in native.most_common(6))
            print(f"         native, innermost named frame: {hot}")
        print("  only samples inside walk() count (start-up excluded). 'native / binding layer' is")
        print("  zel_core.so: traversal, clones, reference counts, trampoline override lookup and")
        print("  argument conversion; 'cyclic GC' is any sample under the collector (it traverses")
        print("  and frees the Python-subclass Steppers).")

    print()
    number = 300 if args.quick else 3000
    print(f"dispatch without Python overrides (median of 7 x {number} calls, round-robin):")
    print(f"{'operation':<72}{'us/call':>9}{'us/unit':>9}")
    for label, us, unit in dispatch_table(number, 7):
        print(f"{label:<72}{us:>9.2f}{unit:>9.2f}")
    print("  (us/unit = per Stepper produced; all figures include the Python call into the method)")


if __name__ == "__main__":
    main()
