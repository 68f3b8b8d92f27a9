"""Building and dropping grammars, Steppers, StepperDeltas and Engines in loops,
self-referencing ones included, leaves nothing behind: after a collection the
number of tracked objects and the reference counts of the objects every pass
shares are back where they were, and no zel_core instance survives."""

import gc
import sys
import weakref

import numpy as np
import pytest
import zel_core as z
from engine_kit import scripted
from zel.leaves import CharacterClass, Literal

ROUNDS, PER_ROUND = 4, 40
# Measured: every loop below stays within 1-2 tracked objects of the first
# measurement (this test's own lists); one object kept per pass adds PER_ROUND.
SLACK = 5
TEXTS = ["a", "b", "ab", "1", "2", "x"]
A, B, AB, ONE, TWO, X = range(len(TEXTS))
VOCABULARY = {f"<{i}>": i for i in range(len(TEXTS))}
WORD, DIGITS = Literal("ab"), CharacterClass("12", identifier="digits")
TRIE = z.TrieMap().insert_all([(t, i) for i, t in enumerate(TEXTS)])
BAD_RESULT, BAD_TEXT = np.array([[A]], dtype=object), bytes(b"ab")  # what a sampler and a decoder must not return
READ_ONLY = np.zeros((1, len(TEXTS)), np.float32)
READ_ONLY.flags.writeable = False


def encode(text):
    return [TEXTS.index(c) for c in text]


def decode(ids):
    return "".join(TEXTS[i] for i in ids)


SHARED = [WORD, DIGITS, VOCABULARY, TRIE, BAD_RESULT, BAD_TEXT, READ_ONLY, encode, decode]


class Machine(z.StateMachine):
    pass


class Twin(z.Stepper):
    pass


def grammar(cls=z.StateMachine):
    return cls({0: [(WORD, 1)], 1: [(DIGITS, "$")]}, identifier="pair")


def self_holding_machines(kept):
    m = grammar(Machine)
    m.me, m.state_graph = m, {**m.state_graph, 2: [(m, "$")]}  # an edge to itself, off the walked path
    steppers = z.StateMachine({0: [(m, "$")]}).get_steppers()
    for token in ["a", "b1", "2"]:
        steppers = z.StateMachine.advance_all_basic(steppers, token)
    assert [s.get_raw_value() for s in steppers] == ["ab12"]
    kept.append(m)


def steppers_holding_their_clones(kept):
    twin = Twin(grammar())
    twin.clone_of_self = twin.clone()
    twin.clone_of_self.original = twin
    twin.add_to_history(twin.clone_of_self)
    twin.sub_stepper = WORD.get_new_stepper()
    twin.sub_stepper.owner = twin
    assert repr(twin) and str(twin) and (twin == twin.clone_of_self) is False  # their sub_steppers differ
    kept += [twin, twin.clone_of_self, twin.sub_stepper]


def deltas(kept):
    holder = Twin(grammar())
    holder.deltas = z.StateMachine.advance_all(grammar().get_steppers(), "abx", TRIE)
    holder.deltas.append(z.StepperDelta(holder, "ab", True))
    ids, chosen = z.StepperDelta.choose_best_path(holder.deltas, TRIE, {AB: [AB, ONE]})
    assert ids == [AB, ONE] and chosen and sorted(holder.deltas) and str(holder.deltas[0])
    kept.append(holder)


def engines_closing_over_themselves(kept):
    engine = None

    def decode_via_engine(ids):
        if engine is not None:
            engine.get_current_state()
        return decode(ids)
    engine = z.Engine(VOCABULARY, encode, decode_via_engine)
    engine.state_machine = grammar()
    engine.reset()
    scores = np.zeros((1, len(TEXTS)), np.float32)
    engine.mask_invalid_tokens(scores)
    assert engine.select_next_tokens(scores, lambda s: np.array([[AB]])) == [AB]
    assert engine.consume(ONE) == ONE
    engine.consume_text("2")
    assert engine.get_live_token_safe_output(decode_via_engine) == ("ab12", "digits")
    engine.steppers = engine.steppers + [scripted()]
    kept.append(decode_via_engine)


def raising(scores):
    raise LookupError("its traceback holds the frames that hold the Engine")


def refusals(kept):
    engine = z.Engine(VOCABULARY, encode, decode)
    engine.state_machine = grammar()
    engine.reset()
    scores = np.zeros((1, len(TEXTS)), np.float32)
    for call, error in [(lambda: engine.select_next_tokens(scores, lambda s: BAD_RESULT), RuntimeError),
                        (lambda: engine.select_next_tokens(scores, raising), LookupError),
                        (lambda: engine.mask_invalid_tokens(READ_ONLY), RuntimeError),
                        (lambda: z.Engine(VOCABULARY, None, lambda ids: BAD_TEXT), RuntimeError),
                        (lambda: z.StateMachine({0: [(None, "$")]}), TypeError)]:
        with pytest.raises(error):
            call()
    kept.append(engine.steppers[0].sub_stepper)


def measure():
    for _ in range(3):
        gc.collect()
    objects = gc.get_objects()
    native = sum(isinstance(o, (z.StateMachine, z.Stepper, z.StepperDelta, z.Engine)) for o in objects)
    return len(objects), native, [sys.getrefcount(o) for o in SHARED]


@pytest.mark.parametrize("body", [self_holding_machines, steppers_holding_their_clones, deltas,
                                  engines_closing_over_themselves, refusals], ids=lambda body: body.__name__)
def test_loops_leave_nothing_behind(body):
    body([])  # the first pass fills caches and free lists
    count, native, refcounts = measure()
    for _ in range(ROUNDS):
        kept = []
        for _ in range(PER_ROUND):
            body(kept)
        alive = [weakref.ref(o) for o in kept]
        del kept
        gc.collect()
        assert [r for r in alive if r() is not None] == []
        del alive
        count_now, native_now, refcounts_now = measure()
        assert (native_now, refcounts_now) == (native, refcounts)
        assert count_now - count <= SLACK, f"{count_now - count} more tracked objects"
