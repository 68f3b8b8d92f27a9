"""Lifetime of grammar objects: cycles through native fields are collected, objects only native
code refers to stay alive, and loops that build and drop objects leave nothing behind."""

import collections
import gc
import json
import sys
import weakref

import numpy as np
import pytest
import zel_core as z
from engine_kit import Sampler, run_isolated, scripted
from zel.leaves import CharacterClass, Literal, LiteralStepper


Machine, Step = type("Machine", (z.StateMachine,), {}), type("Step", (z.Stepper,), {})
Leaf = type("Leaf", (Literal,), {})


def engine_whose_leaf_owns_it(tokens=()):
    """An Engine whose leaf refers back to it; the middle machine's Steppers are native-only."""
    engine = z.Engine({"a": 0, "b": 1}, None, lambda ids: "ab"[ids[0]])
    (leaf := Leaf("abab")).owner = engine
    engine.state_machine = Machine({0: [(z.StateMachine({0: [(leaf, "$")]}), "$")]})
    engine.reset()
    assert [engine.consume(token) for token in tokens] == list(tokens)
    return engine


LINKS = {  # a Machine m and Steps s and t linked into a cycle (self references: test_hostile_input)
    "history refers back": lambda m, s, t: (setattr(t, "back", s), s.add_to_history(t)),
    "sub_stepper refers back": lambda m, s, t: (setattr(s, "sub_stepper", t), setattr(t, "parent", s)),
    "machines name each other": lambda m, s, t: setattr(m, "state_graph", {0: [(Machine({0: [(m, 1)]}), 1)]}),
    "machine holds its Stepper": lambda m, s, t: (setattr(m, "stepper", s), setattr(s, "state_machine", m)),
    "a delta holds its Stepper": lambda m, s, t: setattr(s, "deltas", [z.StepperDelta(s, "ab", True)]),
}
ENGINE_CYCLES = {"Engine, native-only Steppers, leaf": (), "after one token": (0,), "after three": (0, 1, 0)}


@pytest.mark.parametrize("kind", [*LINKS, *ENGINE_CYCLES])
def test_cycle_is_collected(kind):
    gc.disable()
    try:
        if kind in LINKS:
            objects = [Machine(), Step(z.StateMachine()), Step(z.StateMachine())]
            LINKS[kind](*objects)
        else:
            objects = [engine_whose_leaf_owns_it(ENGINE_CYCLES[kind]).state_machine]
        refs = [weakref.ref(o) for o in objects]
        del objects
    finally:
        gc.enable()
    alive = [r for r in refs if r() is not None]  # objects outside the cycle are gone already
    gc.collect()
    assert alive and [r() for r in alive] == [None] * len(alive)


def test_objects_only_native_code_refers_to_stay_alive():
    first, second = engine_whose_leaf_owns_it((0,)), engine_whose_leaf_owns_it()
    second.steppers = [s.clone() for s in first.steppers]  # clones share native-only sub-Steppers
    # (found without asking the native-only Steppers, which would give them Python objects)
    leaves = [weakref.ref(o) for o in gc.get_objects() if isinstance(o, LiteralStepper)
              and getattr(o.state_machine, "owner", None) in (first, second)]
    gc.collect()
    assert leaves and all(r() is not None for r in leaves) and [e.consume(1) for e in (first, second)] == [1, 1]
    assert [s.get_raw_value() for e in (first, second) for s in e.steppers] == ["ab", "ab"]
    refs = [weakref.ref(first.state_machine), weakref.ref(second.state_machine)]
    second.reset()  # once nothing is shared, both cycles go
    del first, second
    gc.collect()
    assert [r() for r in refs] == [None, None]


def references_reported():
    archived, original = Step(z.StateMachine()), z.Stepper(z.StateMachine())
    archived.tag = "archived"
    original.add_to_history(archived)  # clones share their history cells and sub-Steppers
    original.sub_stepper = Step(z.StateMachine())
    keep = [original, original.clone(), original.clone().clone()]
    # Native-only Steppers sharing cells and sub-Steppers, within an Engine and with another's
    first, second = engine_whose_leaf_owns_it((0, 1)), engine_whose_leaf_owns_it((0,))
    second.steppers = second.steppers + [s.clone() for s in first.steppers]
    first.consume(0)
    keep += [first, second]
    del archived, original, first, second
    gc.collect()
    watched = {id(o): o for o in gc.get_objects() if isinstance(o, (z.Stepper, z.StateMachine, z.Engine))}
    reports = collections.Counter(id(r) for holder in gc.get_objects() for r in gc.get_referents(holder))
    # The collector frees an object once reports reach its count (less getrefcount's and o's)
    return [len(watched), [type(o).__name__ for key, o in watched.items() if reports[key] > sys.getrefcount(o) - 2]]


def test_no_reference_is_reported_more_often_than_it_is_held():
    # Reporting a reference twice (a history cell shared by two clones, a native-only Stepper
    # shared by two Engines) would let the collector free objects that are still in use.
    done = run_isolated("import json, test_lifetime as t\nprint(json.dumps(t.references_reported()))")
    assert done.returncode == 0, done.stderr[-3000:]
    count, over = json.loads(done.stdout)
    assert count > 10 and over == []


TEXTS = ["a", "b", "ab", "1", "2", "x"]
A, B, AB, ONE, TWO, X = range(len(TEXTS))
VOCABULARY = {f"<{i}>": i for i in range(len(TEXTS))}
WORD, DIGITS = Literal("ab"), CharacterClass("12", identifier="digits")
BAD_RESULT, READ_ONLY = np.array([[A]], dtype=object), np.zeros((1, len(TEXTS)), np.float32)
READ_ONLY.flags.writeable = False


def decode(ids):
    return "".join(TEXTS[i] for i in ids)


SHARED = [WORD, DIGITS, VOCABULARY, BAD_RESULT, READ_ONLY, decode]


def grammar():
    return z.StateMachine({0: [(WORD, 1)], 1: [(DIGITS, "$")]}, identifier="pair")


def engines(kept):
    engine = None

    def decode_via_engine(ids):
        if engine is not None:
            engine.get_current_state()
        return decode(ids)
    engine = z.Engine(VOCABULARY, lambda text: [TEXTS.index(c) for c in text], decode_via_engine)
    engine.state_machine = grammar()
    engine.reset()
    engine.mask_invalid_tokens(scores := np.zeros((1, len(TEXTS)), np.float32))
    assert engine.select_next_tokens(scores, lambda s: np.array([[AB]])) == [AB] and engine.consume(ONE) == ONE
    engine.consume_text("2")
    assert engine.get_live_token_safe_output(decode_via_engine) == ("ab12", "digits")
    engine.steppers = engine.steppers + [scripted()]
    for call, error in [(lambda: engine.select_next_tokens(scores, lambda s: BAD_RESULT), RuntimeError),
                        (lambda: engine.select_next_tokens(scores, Sampler(LookupError())), LookupError),
                        (lambda: engine.mask_invalid_tokens(READ_ONLY), RuntimeError),
                        (lambda: z.Engine(VOCABULARY, None, lambda ids: b"ab"), RuntimeError),
                        (lambda: z.StateMachine({0: [(None, "$")]}), TypeError)]:
        with pytest.raises(error):
            call()
    kept += [decode_via_engine, engine.steppers[0].sub_stepper]


def measure():
    gc.collect()
    objects = gc.get_objects()
    native = sum(isinstance(o, (z.StateMachine, z.Stepper, z.StepperDelta, z.Engine)) for o in objects)
    return len(objects), native, [sys.getrefcount(o) for o in SHARED]


def test_engines_built_and_dropped_leave_nothing_behind():
    # (Native objects left alive fail the suite at exit, through the binding library's leak report.)
    engines([])  # the first pass fills caches and free lists
    count, native, refcounts = measure()
    kept = []
    for _ in range(20):
        engines(kept)
    del kept
    count_now, native_now, refcounts_now = measure()
    assert (native_now, refcounts_now) == (native, refcounts)
    assert count_now - count <= 5  # measured: 1-2 (this test's own); one kept per pass adds 20
