"""Python code that runs in the middle of an Engine operation (an override,
a finalizer, the sampler) and changes the objects the operation works on:
the operation finishes on what it started with, or refuses, and never reads
freed memory. The cases run in child interpreters, where a crash shows as a
signal and names its case."""

import functools
import gc

import numpy as np
import pytest
import zel_core as z
from engine_kit import make_engine, scripted
from test_hostile_input import run_in_children
from zel.leaves import Literal, LiteralStepper

TEXTS = ["a", "b", "ab", "x", "abx"]


def grammar_dropped_during_reset():
    engine, said = make_engine(TEXTS)[0], []

    class Root(z.StateMachine):
        def get_new_stepper(self, state=None):
            engine.state_machine = None  # the Engine held the only reference
            return z.Stepper(z.StateMachine())

        def __del__(self):
            said.append("grammar freed")
    engine.state_machine = Root({0: [(Literal("x"), "$")]})
    engine.reset()
    return said + [len(engine.steppers), engine.state_machine]


def steppers_dropped_with_finalizer(action):
    """Finalizers of the Steppers an operation drops run while it replaces the
    Engine's list; they see the old list or the new one, whole."""
    engine, spare, said = make_engine(TEXTS + [""])[0], Literal("q").get_new_stepper(), []

    class Finalized(LiteralStepper):
        def __del__(self):
            seen.append(len(engine.steppers))
            {"assigns": lambda: setattr(engine, "steppers", [spare]), "reads": lambda: None,
             "hard-resets": lambda: engine.reset(hard_reset=True), "consumes": lambda: engine.consume(0)}[action]()

    class Leaf(Literal):
        def get_new_stepper(self, state=None):
            return Finalized(self)
    for operation in ("hard reset", "empty winner", "assignment"):
        seen = []
        engine.state_machine = z.StateMachine({0: [(Leaf("ab"), "$"), (Leaf("abx", identifier="w"), "$")]})
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
        said.append([operation, sorted(set(seen)), len(engine.steppers)])
    return said


def sampler_resizes_log_probs(shape):
    engine = make_engine(TEXTS, z.StateMachine({0: [(Literal("ab"), 1)], 1: [(Literal("c"), "$")]}))[0]
    calls = []

    def sampler(log_probs):
        calls.append(1)
        if len(calls) == 1:
            log_probs.resize(shape, refcheck=False)  # frees the memory the Engine viewed
        return np.array([[4 if len(calls) < 3 else 0]])  # the same token again, then "a"
    try:
        return [engine.select_next_tokens(np.zeros((1, 5), np.float32), sampler), len(calls),
                engine.steppers[0].get_raw_value()]
    except RuntimeError as error:
        return ["refused", "changed shape" in str(error), engine.steppers[0].get_raw_value()]


def override_resizes_scores(shape):
    engine, scores = make_engine(TEXTS)[0], np.zeros((1, 5), np.float32)

    class Resizing(z.Stepper):
        def get_valid_continuations(self):
            scores.resize(shape, refcheck=False)
            return ["ab"]
    engine.steppers = [Resizing(z.StateMachine())]
    try:
        return engine.mask_invalid_tokens(scores).tolist()
    except RuntimeError as error:
        return ["refused", "changed shape" in str(error)]


def finalizer(seen):
    return [[operation, seen, len(seen) - 1] for operation in ("hard reset", "empty winner", "assignment")]


EXPECTED = {
    "grammar dropped during reset": (grammar_dropped_during_reset, ["grammar freed", 1, None]),
    **{f"finalizer {action} the steppers": (functools.partial(steppers_dropped_with_finalizer, action),
                                            finalizer([0, 1] if action == "assigns" else [0]))
       for action in ["reads", "assigns", "hard-resets", "consumes"]},
    "sampler resizes log_probs in place": (functools.partial(sampler_resizes_log_probs, (1, 5)), [[0], 3, "a"]),
    "sampler resizes log_probs": (functools.partial(sampler_resizes_log_probs, (1, 100_000)), ["refused", True, ""]),
    "override resizes scores in place": (functools.partial(override_resizes_scores, (1, 5)),
                                         [[0.0, -np.inf, 0.0, -np.inf, 0.0]]),
    "override resizes scores": (functools.partial(override_resizes_scores, (1, 100_000)), ["refused", True]),
}
CASES = {name: call for name, (call, _) in EXPECTED.items()}


@functools.cache
def outcomes():
    return run_in_children("test_reentrant_python", list(CASES))


@pytest.mark.parametrize("case", list(EXPECTED))
def test_operation_survives_python_changing_its_objects(case):
    assert outcomes()[case] == EXPECTED[case][1]
