"""Python code that runs in the middle of an Engine operation (an override,
a finalizer, the sampler) and changes the objects the operation works on:
the operation finishes on what it started with, or refuses, and never reads
freed memory. Each case runs in a child interpreter, where a crash shows as
a signal in the return code."""

import textwrap

import pytest
from engine_kit import run_isolated

PRELUDE = """
import gc, numpy as np, zel_core as z
from zel.leaves import Literal, LiteralStepper
from engine_kit import make_engine
TEXTS = ["a", "b", "ab", "x", "abx"]
"""

GRAMMAR_DROPPED_DURING_RESET = """
engine, _ = make_engine(TEXTS)

class Root(z.StateMachine):
    def get_new_stepper(self, state=None):
        engine.state_machine = None      # the Engine held the only reference
        return z.Stepper(z.StateMachine())

    def __del__(self):
        print("grammar freed")

engine.state_machine = Root({0: [(Literal("x"), "$")]})
engine.reset()
print("reset returned", len(engine.steppers), engine.state_machine)
"""

# Finalizers of the Steppers that an operation drops run while it replaces
# the Engine's list; they see the old list or the new one, whole.
STEPPERS_DROPPED_WITH_FINALIZER = """
from engine_kit import scripted
engine, _ = make_engine(TEXTS + [""])
spare = Literal("q").get_new_stepper()

class Finalized(LiteralStepper):
    def __del__(self):
        seen.append(len(engine.steppers))
        {action}

class Leaf(Literal):
    def get_new_stepper(self, state=None):
        return Finalized(self)

for operation in ("hard reset", "empty winner", "assignment"):
    seen = []
    engine.state_machine = z.StateMachine({{0: [(Leaf("ab"), "$"), (Leaf("abx", identifier="w"), "$")]}})
    engine.reset()
    if operation == "hard reset":
        engine.reset(hard_reset=True)
    elif operation == "empty winner":
        # Only a Stepper that takes the empty token advances: the winning token is empty.
        engine.steppers = engine.steppers + [scripted()]
        engine.select_next_tokens(np.zeros((1, 6), np.float32), lambda s: np.array([[5]]))
    else:
        engine.steppers = []
    gc.collect()
    print(operation, sorted(set(seen)), len(engine.steppers))
"""

SAMPLER_RESIZES_LOG_PROBS = """
engine, _ = make_engine(TEXTS, z.StateMachine({0: [(Literal("ab"), 1)], 1: [(Literal("c"), "$")]}))
calls = []

def sampler(log_probs):
    calls.append(1)
    if len(calls) == 1:
        log_probs.resize(SHAPE, refcheck=False)   # frees the memory the Engine viewed
    return np.array([[4 if len(calls) < 3 else 0]])

for SHAPE in [(1, 5), (1, 100_000)]:
    calls.clear()
    engine.reset()
    scores = np.zeros((1, 5), np.float32)
    try:
        print(engine.select_next_tokens(scores, sampler), len(calls), repr(engine.steppers[0].get_raw_value()))
    except RuntimeError as error:
        print("refused", "changed shape" in str(error), repr(engine.steppers[0].get_raw_value()))
"""

OVERRIDE_RESIZES_SCORES = """
engine, _ = make_engine(TEXTS)
scores = np.zeros((1, 5), np.float32)

class Resizing(z.Stepper):
    def get_valid_continuations(self):
        scores.resize(SHAPE, refcheck=False)
        return ["ab"]

for SHAPE in [(1, 5), (1, 100_000)]:
    scores.resize((1, 5), refcheck=False)
    scores[:] = 0
    engine.steppers = [Resizing(z.StateMachine())]
    try:
        print(engine.mask_invalid_tokens(scores).tolist())
    except RuntimeError as error:
        print("refused", "changed shape" in str(error))
"""

CASES = {
    "grammar dropped during reset": (GRAMMAR_DROPPED_DURING_RESET, ["grammar freed", "reset returned 1 None"]),
    "finalizer reads the steppers": (STEPPERS_DROPPED_WITH_FINALIZER.format(action="pass"),
                                     ["hard reset [0] 0", "empty winner [0] 0", "assignment [0] 0"]),
    "finalizer assigns the steppers": (STEPPERS_DROPPED_WITH_FINALIZER.format(action="engine.steppers = [spare]"),
                                       ["hard reset [0, 1] 1", "empty winner [0, 1] 1", "assignment [0, 1] 1"]),
    "finalizer hard-resets": (STEPPERS_DROPPED_WITH_FINALIZER.format(action="engine.reset(hard_reset=True)"),
                              ["hard reset [0] 0", "empty winner [0] 0", "assignment [0] 0"]),
    "finalizer consumes": (STEPPERS_DROPPED_WITH_FINALIZER.format(action="engine.consume(0)"),
                           ["hard reset [0] 0", "empty winner [0] 0", "assignment [0] 0"]),
    # The second draw is the same token again; the third one is "a".
    "sampler resizes log_probs": (SAMPLER_RESIZES_LOG_PROBS, ["[0] 3 'a'", "refused True ''"]),
    "override resizes scores": (OVERRIDE_RESIZES_SCORES, ["[[0.0, -inf, 0.0, -inf, 0.0]]", "refused True"]),
}


@pytest.mark.parametrize("case", list(CASES))
def test_operation_survives_python_changing_its_objects(case):
    code, expected = CASES[case]
    done = run_isolated(PRELUDE + textwrap.dedent(code))
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines() == expected
