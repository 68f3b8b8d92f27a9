"""Time to advance a Stepper at the bottom of a chain of nested machines.

Advancing asks at every level whether the sub-Stepper below should start a
step, and that question walks the rest of the chain: a chain N deep costs
about N**2 / 2 calls. Prints, for chains of growing depth, the seconds one
`advance_all_basic` call takes (or that the walk was refused as too deep).

Run:
    .venv/bin/python benchmarks/deep_advance.py [--max-depth N]
"""

from __future__ import annotations

import argparse
import time

import zel_core
from zel.leaves import Literal


def chain(depth: int) -> zel_core.StateMachine:
    machine: zel_core.StateMachine = Literal("x")
    for _ in range(depth):
        machine = zel_core.StateMachine({0: [(machine, "$")]})
    return machine


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-depth", type=int, default=32_000)
    depth_limit = parser.parse_args().max_depth
    depth = 1_000
    while depth <= depth_limit:
        steppers = chain(depth).get_steppers()
        start = time.perf_counter()
        try:
            zel_core.StateMachine.advance_all_basic(steppers, "x")
            outcome = f"{time.perf_counter() - start:8.3f} s"
        except RuntimeError as error:
            outcome = f"refused: {error}"
        print(f"depth {depth:>7,}: {outcome}", flush=True)
        depth *= 2


if __name__ == "__main__":
    main()
