"""Hostile input ends in a clear exception or a defined result, never a crash or hang; a refused argument
is left as it was. What could crash runs in child interpreters (`outcome`), each case reported by name."""

import ctypes
import functools
import gc
import json
import os
import signal
import subprocess
import threading

import numpy as np
import pytest
import zel_core as z
from engine_kit import Sampler, Tokenizer, make_engine, run_isolated, scripted
from zel.leaves import CharacterClass, Literal, LiteralStepper

TEXTS = ["a", "b", "ab", "x", "abx"]
A, B, AB, X, ABX = range(len(TEXTS))
V, W = len(TEXTS), len(TEXTS) + 2
NESTED = "nested too deeply"
SANITIZED = bool(os.environ.get("ZEL_SANITIZED"))  # instrumented builds use more stack per level
CASES = {}  # key: the call a child interpreter makes, its result in JSON


def child_cases(kind, function, arguments):
    for each in arguments:
        CASES[repr((kind, *each))] = functools.partial(function, *each)


@functools.cache
def all_outcomes(timeout=120):
    """{key: CASES[key]()}, in order; a case that crashes or hangs its child gets ["crashed", how]."""
    results, pending = {}, list(CASES)
    while pending:
        code = f"import json, {__name__} as t\nfor k in {pending!r}: print(json.dumps(t.CASES[k]()), flush=True)"
        try:
            done = run_isolated(code, timeout)
            out, failed = done.stdout, done.returncode and f"exit status {done.returncode}: {done.stderr[-3000:]}"
        except subprocess.TimeoutExpired as expired:
            out, failed = (expired.stdout or b"").decode(), f"no result within {timeout} s"
        lines = out.splitlines()
        results.update(zip(pending, map(json.loads, lines)))
        if failed:  # a crash at exit is charged to the last case
            results[pending[min(len(lines), len(pending) - 1)]] = ["crashed", failed]
        pending = pending[len(lines) + 1:]
    return results


def outcome(kind, *arguments):
    return all_outcomes()[repr((kind, *arguments))]


def attempt(call):
    try:
        return ["ok", call()]
    except (RuntimeError, TypeError, ValueError, RecursionError) as error:
        return [type(error).__name__, str(error)]


def state(e):
    return [[s.get_raw_value(), s.get_token_ids_history()] for s in e.steppers]


def on_thread(call, stack_size):
    result, _ = [], threading.stack_size(stack_size)  # for threads started from now on
    worker = threading.Thread(target=lambda: result.append(call()))
    worker.start()
    threading.stack_size(0)
    worker.join()
    return result[0]


BLOCKED, BLOCKING = [B, X], {"f4": -np.inf, "f2": -np.inf, "u2": 0xFF80, "i1": -128}
VIEWABLE = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16"]
SHAPES = [(), (V,), (2, V), (1, 2, V), (0, V), (2, 0), (0, 0)]
LAYOUTS = {  # shape, byte offset and byte strides for an item size s
    "columns reversed": lambda s: ((2, V), (V - 1) * s, (V * s, -s)),
    "both reversed, every other column": lambda s: ((2, V), (4 * V - 2) * s, (-2 * V * s, -2 * s)),
    "column-major": lambda s: ((2, V), 0, (s, 2 * s)),
    "zero row stride": lambda s: ((3, V), 0, (0, s)),
    "zero column stride": lambda s: ((2, V), 0, (V * s, 0)),
    "unaligned": lambda s: ((2, V), 1, (V * s, s)),
    "stride not a multiple of the item": lambda s: ((2, V), 0, (V * (s + 1), s + 1)),
    "2**31 columns": lambda s: ((1, 2**31), 0, (0, 0)), "2**32 columns": lambda s: ((1, 2**32), 0, (0, 0)),
}


def masking_engine():
    e, _ = make_engine(TEXTS, Literal("ab"))
    e.steppers = [scripted(valid=["ab"])]  # allows a, ab and abx: blocks b and x
    return e


def scores_for(dtype, shape):
    """(memory, scores): zeros of `shape`, or a view in LAYOUTS over the bytes 0 to 255."""
    if not isinstance(shape, str):
        return (scores := np.zeros(shape, dtype)), scores
    memory = np.arange(256, dtype=np.uint8)
    shape, offset, strides = LAYOUTS[shape](np.dtype(dtype).itemsize)
    return memory, np.ndarray(shape, dtype, memory, offset, strides)


def mask_case(dtype, shape, read_only):
    memory, scores = scores_for(dtype, shape)
    scores.flags.writeable, before = not read_only, memory.tobytes()
    done = attempt(lambda: masking_engine().mask_invalid_tokens(scores) is scores)
    return done + [None if memory.tobytes() == before else memory.tobytes().hex()]


MASKS = [(d, s, False) for d in VIEWABLE + ["M8[s]", "m8[s]", "O", ">f4", "U1"] for s in SHAPES]
MASKS += [(d, lay, r) for d in BLOCKING for lay in LAYOUTS for r in (False, True)]
child_cases("mask", mask_case, MASKS)


@pytest.mark.parametrize("dtype, shape, read_only", MASKS, ids=str)
def test_mask_every_dtype_shape_and_layout(dtype, shape, read_only):
    kind, message, after = outcome("mask", dtype, shape, read_only)
    memory, scores = scores_for(dtype, shape)
    before = memory.tobytes()
    if dtype not in VIEWABLE or ("multiple" in str(shape) and scores.itemsize > 1):
        assert kind == "TypeError" and "must be an array" in message
    elif scores.ndim != 2:
        assert kind == "RuntimeError" and "two-dimensional" in message
    elif read_only:
        assert kind == "RuntimeError" and "read-only" in message
    elif scores.shape[1] >= 2**31:  # wider than any vocabulary
        assert kind == "ValueError"
    elif scores.size and dtype not in BLOCKING:
        assert [kind, message] == ["RuntimeError", "Unsupported tensor dtype for masking"]
    else:
        assert [kind, message] == ["ok", True]
        if scores.size:  # numpy writes the same places through the same view
            scores[:, BLOCKED] = BLOCKING[dtype]
    assert after == (None if memory.tobytes() == before else memory.tobytes().hex())


class DLManagedTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)), ("strides", ctypes.c_void_p),
                ("byte_offset", ctypes.c_uint64), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


class OnDevice:
    """A float32 array handed over as a bare DLPack capsule placing it on `device` (1: host, 2: a GPU)."""

    def __init__(self, array, device):
        self.shape = (ctypes.c_int64 * 2)(*array.shape)
        self.tensor = DLManagedTensor(array.ctypes.data, device, 0, 2, 2, 32, 1, self.shape)

    def __dlpack__(self, *args, **kwargs):
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new(ctypes.addressof(self.tensor), b"dltensor", None)


def foreign_case(name):
    """ctypes exports buffers without strides, which the array import must not read."""
    e = masking_engine()
    if name.startswith("sampler"):
        e.reset()
        chosen = ((ctypes.c_int64 if name == "sampler int64" else ctypes.c_int32) * 1)(A)
        return attempt(lambda: e.select_next_tokens(log_probs(), lambda scores: chosen)) + [state(e)]
    if name.startswith("capsule"):
        scores = np.zeros((1, V), np.float32)
        done = attempt(lambda: e.mask_invalid_tokens(OnDevice(scores, 1 + name.endswith("GPU"))) is not None)
        return done + [scores[0].tolist()]
    memory = ((ctypes.c_float * V) * 1)()
    return attempt(lambda: e.mask_invalid_tokens(memory) is memory) + [list(memory[0])]


MASKED, PICKED = [0, -np.inf, 0, -np.inf, 0], ["ok", [A], [["a", [A]]]]
FOREIGN = {"float32": ["ok", True, MASKED], "sampler int64": PICKED, "sampler int32": PICKED,
           "capsule on the host": ["ok", True, MASKED],
           "capsule on a GPU": ["RuntimeError", "host memory", [0.0] * V]}
child_cases("foreign", foreign_case, [(name,) for name in FOREIGN])


@pytest.mark.parametrize("name", list(FOREIGN))
def test_ctypes_arrays_and_dlpack_capsules(name):
    (kind, result, after), expected = outcome("foreign", name), FOREIGN[name]
    assert [kind, after] == expected[::2]
    assert expected[1] in result if isinstance(result, str) else result == expected[1]


ACCEPTED = {  # the id is the first element in index order, wherever it lies in memory
    "numpy scalar": lambda: np.int64(A), "0-d": lambda: np.array(A, np.uint32),
    "read-only": lambda: np.lib.stride_tricks.as_strided(np.array([[A]], np.int64), writeable=False),
    "3-d": lambda: np.array([[[A, X]]], np.uint64), "memoryview": lambda: memoryview(np.array([A, X], np.int32)),
    "reversed": lambda: np.array([[X], [A]], np.int32)[::-1],
    "offset": lambda: np.array([[X, A]], np.int64)[:, 1:],
}
REFUSED = {"bytes": lambda: bytes(8), "objects": lambda: np.array([[A]], object),
           "datetime": lambda: np.array([[A]], "M8[s]"), "big-endian": lambda: np.array([[A]], ">i8"),
           "2**63": lambda: np.array([[2**63]], np.uint64), "-2**63": lambda: np.array([[-2**63]]),
           "2**64 - 1": lambda: np.array([[2**64 - 1]], np.uint64)}
ERRORS = [KeyboardInterrupt(), SystemExit(3), type("Interrupt", (BaseException,), {})(), StopIteration(A),
          RuntimeError("bad cast"), MemoryError()]
MUTATIONS = {  # draws, what the sampler does on call n; expected outcome, steppers, blocked ids
    "clears the steppers": ([X], lambda e, n: setattr(e, "steppers", []), ["ok", [X]], [], []),
    "clears after a refusal": ([X, A], lambda e, n: n == 2 and setattr(e, "steppers", []), ["ok", [A]], [], [X]),
    "resets the engine": ([X, A], lambda e, n: e.reset(), ["ok", [A]], [["a", [A]]], [X]),
    "hard-resets the engine": ([X], lambda e, n: e.reset(hard_reset=True), ["ok", [X]], [], []),
    "installs steppers": ([X, X], lambda e, n: n == 2 and setattr(e, "steppers", [scripted()]),
                          ["ok", [X]], [["x", [X]]], [X]),  # the score read back is the blocked one
    "collects garbage": ([X, A], lambda e, n: gc.collect(), ["ok", [A]], [["a", [A]]], [X]),
    # the inner selection moves the steppers past "a"; every outer draw of "a" then fails
    "selects inside": ([A], lambda e, n: n == 1 and e.select_next_tokens(log_probs(), lambda s: np.array([A])),
                       ["RuntimeError", False], [["a", [A]]], [A]),
    # the sampler's own exception comes back as raised, after a refused draw
    **{type(error).__name__: ([X, error], lambda e, n: None, [type(error).__name__, True], [["", []]], [X])
       for error in ERRORS},
}


def log_probs():
    return -0.5 - np.arange(W, dtype=np.float32)[None, :]


def sampler_case(name):
    e, _ = make_engine(TEXTS, Literal("ab"))
    scores, (draws, act) = log_probs(), MUTATIONS.get(name, [[]] * 2)[:2]
    drawn = Sampler(*draws)

    def sampler(s):
        if name not in MUTATIONS:
            return {**ACCEPTED, **REFUSED}[name]()
        act(e, drawn.calls + 1)
        return drawn(s)
    try:
        done = ["ok", e.select_next_tokens(scores, sampler)]
    except BaseException as error:
        done = [type(error).__name__, error in draws]
    return [done, state(e), np.flatnonzero(scores != log_probs()).tolist()]


child_cases("sampler", sampler_case, [(name,) for name in [*ACCEPTED, *REFUSED, *MUTATIONS]])


@pytest.mark.parametrize("name", [*ACCEPTED, *REFUSED, *MUTATIONS])
def test_sampler_results_and_side_effects(name):
    # an accepted result picks A; a refused one changes neither a score nor a stepper
    expected = [["ok", [A]], [["a", [A]]], []] if name in ACCEPTED else [["RuntimeError", False], [["", []]], []]
    assert outcome("sampler", name) == (list(MUTATIONS[name][2:]) if name in MUTATIONS else expected)


ERROR = LookupError("tokenizer failed")
WRONG = {"bytes": b"ab", "floats": [1.5], "None": None, "int": 2**40, "ids beyond 32 bits": [2**40],
         "ids beyond 64 bits": [10**30], "lone surrogate": "\ud800", "raises": ERROR}
PATHS = {"Engine()": lambda e, f: z.Engine({"k": 0}, None, f), "consume_text": lambda e, f: e.consume_text("x"),
         "get_live_token_safe_output": lambda e, f: e.get_live_token_safe_output(f),
         "Stepper.get_token_safe_output": lambda e, f: e.steppers[0].get_token_safe_output(f)}


@pytest.mark.parametrize("result", [*WRONG, "generator"])
@pytest.mark.parametrize("path", list(PATHS))
def test_misbehaving_tokenizer_callables(path, result):
    def misbehaving(argument):
        if result == "raises":
            raise ERROR
        return iter([A]) if result == "generator" else WRONG[result]
    e = z.Engine({f"<{i}>": i for i in range(V)}, misbehaving, Tokenizer(TEXTS).decode)
    e.state_machine = z.StateMachine({0: [(Literal("ab"), "$"), (Literal("abx"), "$")]}, identifier="word")
    e.reset()
    assert e.consume(AB) == AB
    before = e.steppers
    with pytest.raises(Exception) as caught:
        PATHS[path](e, misbehaving)
    assert caught.value is ERROR if result == "raises" else str(caught.value) == "bad cast"
    assert all(a is b for a, b in zip(e.steppers, before, strict=True)) and state(e) == [["ab", [AB]]] * 2


def test_token_ids_beyond_31_bits_are_refused():
    # Ids are recorded as signed 32 bits; a TrieMap may hold larger ones, but not where ids are emitted.
    e = z.Engine({"a": 0}, None, lambda ids: "a")
    e.state_machine = Literal("a")
    e.reset()
    before, a_delta = e.steppers, [z.StepperDelta(Literal("a").get_new_stepper(), "a", True)]
    wide = z.TrieMap().insert_all([("a", 0), ("b", 2**32 - 1)])
    for call in [lambda: z.Engine({"a": 2**31}, None, str), lambda: setattr(e, "vocabulary", wide),
                 lambda: z.Engine({"a": 0}, None, str, control_tokens=[2**32 - 1]),
                 lambda: setattr(e, "reverse_vocabulary", {2**31: "a"}),
                 lambda: setattr(e, "multi_token_mapping", {2**31: [0]}),
                 lambda: setattr(e, "multi_token_mapping", {0: [0, 2**31]}),
                 lambda: z.StepperDelta.choose_best_path(a_delta, e.vocabulary, {0: [2**31]}),
                 lambda: z.StepperDelta.choose_best_path(a_delta, e.vocabulary, {2**31: [0]})]:
        with pytest.raises(ValueError, match=r"token ids run from 0 to 2\*\*31 - 1"):
            call()
    assert (e.reverse_vocabulary, e.multi_token_mapping, e.vocabulary.get("b")) == ({0: "a"}, {}, None)
    assert wide.get("b") == [2**32 - 1] and e.consume(2**31) is None and e.steppers == before
    e.vocabulary.insert("b", 2**31)  # through the live view, caught where it would be emitted
    b_delta = [z.StepperDelta(Literal("b").get_new_stepper(), "b", True)]
    with pytest.raises(ValueError, match="token ids run"):
        z.StepperDelta.choose_best_path(b_delta, e.vocabulary, None)


class Delegating(z.Stepper):
    def has_reached_accept_state(self):  # asks its sub-Stepper, in Python
        return (self.sub_stepper or super()).has_reached_accept_state()


SELF_REFERENCES = [(kind, cls) for kind in ["own sub_stepper", "in its own history", "machine as its own edge"]
                   for cls in ("Stepper", "Python subclass")]
STACK = 2 << 20  # the margin the walks keep is the main thread's: 512 KiB


def walks(m, s):
    e, _ = make_engine(TEXTS)
    e.steppers = [kept := scripted()]

    def reset():  # a refused reset keeps the steppers it had
        e.state_machine = m
        try:
            e.reset()
        except RuntimeError as error:
            raise RuntimeError(f"{error}; kept: {e.steppers[0] is kept}") from None
    return {"get_steppers": m.get_steppers, "str": lambda: (str(m), str(s)), "repr": lambda: (repr(m), repr(s)),
            "==": lambda: (m == m, s == s.clone()), "get_raw_value": s.get_raw_value, "clone": s.clone,
            "get_current_value": s.get_current_value, "get_identifier": s.get_identifier, "branch": s.branch,
            "consume": lambda: s.consume("x"), "get_final_state": s.get_final_state, "Engine.reset": reset,
            "advance_all_basic": lambda: z.StateMachine.advance_all_basic([s], "x"),
            "Engine over the stepper": lambda: (setattr(e, "steppers", [s]), str(e), e.get_current_state(),
                                                e.mask_invalid_tokens(np.zeros((1, V), np.float32)),
                                                e.get_live_token_safe_output(str), e.consume(X))}


def count_native():
    gc.collect()
    return sum(isinstance(o, (z.StateMachine, z.Stepper)) for o in gc.get_objects())


def self_reference_case(kind, cls_name):
    cls, before = {"Stepper": z.Stepper, "Python subclass": Delegating}[cls_name], count_native()
    m = z.StateMachine({0: [(Literal("x"), "$")]})
    if kind == "machine as its own edge":
        m.state_graph = {0: [(m, "$")]}
    s = cls(m)
    if kind == "own sub_stepper":
        s.sub_stepper = s
    elif kind == "in its own history":
        s.add_to_history(s)
    report = on_thread(lambda: {name: attempt(lambda: (walk(), None)[1])
                                for name, walk in walks(m, s).items()}, STACK)
    del m, s
    return report, count_native() - before


child_cases("self", self_reference_case, SELF_REFERENCES)


@pytest.mark.parametrize("case", SELF_REFERENCES, ids=str)
def test_self_references_are_refused_and_collected(case):
    report, survivors = outcome("self", *case)
    for name, (kind, detail) in report.items():
        assert kind in ("ok", "RecursionError") or (kind == "RuntimeError" and NESTED in detail), name
        assert "kept: False" not in str(detail)
    assert len(report) == 14 and survivors == 0
    assert report["get_steppers"][0] == "RuntimeError" or case[0] != "machine as its own edge"


def nested(depth):
    machine = Literal("x")
    for _ in range(depth):
        machine = z.StateMachine({0: [(machine, "$")]})
    return machine


def walked_and_dropped(depth):
    leaf, machine = Literal("x"), nested(depth)
    stepper, archive = leaf.get_new_stepper(), z.Stepper(z.StateMachine())
    for _ in range(depth):
        outer, holder = z.Stepper(z.StateMachine({0: [(leaf, "$")]})), z.Stepper(z.StateMachine())
        outer.sub_stepper, outer.target_state = stepper, "$"
        holder.add_to_history(archive)
        stepper, archive = outer, holder
    stepper.add_to_history(archive)
    return attempt(lambda: len(machine.get_steppers()))


def deep_case(name):
    if name == "chains 25,000 deep dropped":  # deeper than releasing them recursively survives
        before = count_native()
        return [on_thread(lambda: walked_and_dropped(25_000), STACK), count_native() - before]
    if name == "a value nested 100,000 deep":  # too deep to convert: falls back to the raw text
        s = z.Stepper(z.StateMachine())
        s._raw_value = "[" * 100_000 + "]" * 100_000
        return s.get_current_value() == s.get_raw_value()
    if name == "one level walked on a 256 KiB stack":
        return on_thread(lambda: attempt(lambda: len(nested(1).get_steppers())), 256 << 10)
    if name == "a chain 10,000 deep walked":
        return attempt(lambda: len(nested(10_000).get_steppers()))
    steppers = nested(2_000).get_steppers()  # advancing is quadratic (benchmarks/deep_advance.py)
    return on_thread(lambda: attempt(lambda: [s.has_reached_accept_state()
                                             for s in z.StateMachine.advance_all_basic(steppers, "x")]), STACK)


DEEP = {"chains 25,000 deep dropped": [["RuntimeError", f"grammar {NESTED}: the stack is exhausted"], 0],
        "a value nested 100,000 deep": True, "one level walked on a 256 KiB stack": ["ok", 1],
        "a chain 10,000 deep walked": ["ok", 1], "a chain 2,000 deep advanced on a 2 MiB stack": ["ok", [True]]}
child_cases("deep", deep_case, [(name,) for name in DEEP])


@pytest.mark.parametrize("name", list(DEEP))
def test_deep_nesting_is_walked_or_refused_and_dropped(name):
    if SANITIZED and name in ("a chain 10,000 deep walked", "a chain 2,000 deep advanced on a 2 MiB stack"):
        pytest.skip("a sanitized build runs out of stack sooner and refuses the walk")
    assert outcome("deep", name) == DEEP[name]


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


def finalizer_case(action, operation):
    """Finalizers of dropped Steppers run while the Engine's list is replaced: they see the old or new one."""
    engine, spare, seen = make_engine(TEXTS + [""])[0], Literal("q").get_new_stepper(), []

    class Finalized(LiteralStepper):
        def __del__(self):
            seen.append(len(engine.steppers))
            {"assigns": lambda: setattr(engine, "steppers", [spare]), "reads": lambda: None,
             "hard-resets": lambda: engine.reset(hard_reset=True), "consumes": lambda: engine.consume(0)}[action]()

    class Leaf(Literal):
        def get_new_stepper(self, state=None):
            return Finalized(self)
    engine.state_machine = z.StateMachine({0: [(Leaf("ab"), "$"), (Leaf("abx", identifier="w"), "$")]})
    engine.reset()
    if operation == "hard reset":
        engine.reset(hard_reset=True)
    elif operation == "empty winner":  # only a Stepper that takes the empty token advances
        engine.steppers = engine.steppers + [scripted()]
        engine.select_next_tokens(np.zeros((1, 6), np.float32), lambda s: np.array([[5]]))
    else:
        engine.steppers = []
    gc.collect()
    return [sorted(set(seen)), len(engine.steppers)]


def resized_case(who, shape):
    """The sampler resizes log_probs, or an override the scores, in place: freeing what the Engine viewed."""
    engine, scores, calls = make_engine(TEXTS)[0], np.zeros((1, 5), np.float32), []

    class Resizing(z.Stepper):
        def get_valid_continuations(self):
            scores.resize(shape, refcheck=False)
            return ["ab"]

    def sampler(log_probs):
        calls.append(1)
        if len(calls) == 1:
            log_probs.resize(shape, refcheck=False)
        return np.array([[ABX if len(calls) < 3 else A]])  # the same token again, then "a"
    engine.steppers = [Resizing(z.StateMachine())]
    try:
        if who == "override":
            return engine.mask_invalid_tokens(scores).tolist()
        engine.state_machine = z.StateMachine({0: [(Literal("ab"), 1)], 1: [(Literal("c"), "$")]})
        engine.reset()
        return [engine.select_next_tokens(scores, sampler), len(calls), state(engine)]
    except RuntimeError as error:
        return ["refused", "changed shape" in str(error), state(engine)]


FINALIZED = [(a, o) for a in ("reads", "assigns", "hard-resets", "consumes")
             for o in ("hard reset", "empty winner", "assignment")]
child_cases("finalizer", finalizer_case, FINALIZED)
RESIZED = {("sampler", (1, 5)): [[A], 3, [["a", [A]]]], ("sampler", (1, 100_000)): ["refused", True, [["", []]]],
           ("override", (1, 5)): [MASKED], ("override", (1, 100_000)): ["refused", True, [["", []]]],
           ("grammar dropped by an override during reset",): ["grammar freed", 1, None]}
child_cases("resized", resized_case, list(RESIZED)[:4])
child_cases("resized", lambda name: grammar_dropped_during_reset(), list(RESIZED)[4:])


@pytest.mark.parametrize("case", FINALIZED, ids=str)
def test_finalizers_see_the_old_or_the_new_stepper_list(case):
    seen = [0, 1] if case[0] == "assigns" else [0]  # after assigning, the one it assigned
    assert outcome("finalizer", *case) == [seen, len(seen) - 1]


@pytest.mark.parametrize("case", list(RESIZED), ids=str)
def test_python_resizing_scores_or_dropping_the_grammar_is_survived_or_refused(case):
    assert outcome("resized", *case) == RESIZED[case]


def long_text_case(name):
    """Spelling looks at no more of a text than the longest key (searching every length was cubic)."""
    if "Ctrl-C" in name:
        return interrupted_spelling()
    texts, text = (["a", "a" * 16_000, "b"], "a" * 200_000) if "key" in name else (["a", "aa", "b"], "a" * 100_001)
    engine = z.Engine({f"<{i}>": i for i in range(3)}, lambda s: [0], lambda ids: texts[ids[0]])
    spellings = engine.break_into_tokens(text)
    report = [sorted(len(pieces[0]) for pieces in spellings), all("".join(p) == text for p in spellings)]
    if "healed" in name:
        engine.state_machine = z.StateMachine({0: [(CharacterClass("a"), "$")]})
        engine.reset()
        healed = z.StateMachine.advance_all(engine.steppers, text + "b", engine.vocabulary, True)
        engine.consume_text(text + "b", token_healing=True)
        report += [[(d.token, d.was_healed) for d in healed], [s.get_raw_value() == text for s in engine.steppers]]
    return report


def interrupted_spelling():
    """Each position of a long continuation tried against 500 key lengths: minutes, interrupted by a timer."""
    texts = ["a"] + ["b" * n for n in range(2, 502)]
    engine = z.Engine({f"<{i}>": i for i in range(len(texts))}, None, lambda ids: texts[ids[0]])

    class LongContinuation(z.Stepper):
        def get_valid_continuations(self):
            signal.setitimer(signal.ITIMER_REAL, 0.3)  # goes off in the native loop
            return ["a" * 4_000_000]
    engine.steppers = before = [LongContinuation(z.StateMachine())]
    scores = np.zeros((1, len(texts)), np.float32)
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        engine.mask_invalid_tokens(scores)
    except KeyboardInterrupt:
        return engine.steppers[0] is before[0] and not scores.any()


LONG_TEXTS = {"100,001 characters spelled and healed": [[1, 2], True, [["aa", True]], [True]],
              "a key 16,000 characters long": [[1, 16_000], True], "interrupted by Ctrl-C": True}
child_cases("long", long_text_case, [(name,) for name in LONG_TEXTS])


@pytest.mark.parametrize("name", list(LONG_TEXTS))
def test_long_texts_are_spelled_in_linear_time_and_interruptibly(name):
    assert outcome("long", name) == LONG_TEXTS[name]


class NumpyBoolAnswer(z.Stepper):
    def has_reached_accept_state(self):
        return np.bool_(True)


def engine_over(stepper, encode=None):
    e = z.Engine({f"<{i}>": i for i in range(V)}, encode, Tokenizer(TEXTS).decode)
    e.steppers = [stepper]
    return e


def select_with(result):
    return make_engine(TEXTS, Literal("ab"))[0].select_next_tokens(log_probs(), lambda scores: result)


CAST = "bad cast"
MISTAKES = {  # call, exception type, message (None: any), the note's start (None: no note)
    "sampler returns an int": (lambda: select_with(A), RuntimeError, CAST, "the sampler returned int, "
                               "expected an array holding the chosen token id, such as [[id]] of int32"),
    "decode_function returns an int": (lambda: z.Engine({"k": 0}, None, lambda ids: 5), RuntimeError, CAST,
                                       "decode_function returned int, expected a str"),
    "encode_function returns a str": (lambda: engine_over(scripted(), lambda text: "a").consume_text("a"),
                                      RuntimeError, CAST, "encode_function returned str, expected a list of token ids"),
    "decode_function is None": (lambda: z.Engine({"k": 0}, None, None), RuntimeError,
                                "decode_function is None: pass a callable that maps a list of token ids to str", None),
    "encode_function is None": (lambda: engine_over(scripted()).consume_text("a"), RuntimeError,
                                "encode_function is None: pass a callable that maps a str to a list of token ids", None),
    "vocabulary key with a lone surrogate": (lambda: z.Engine({"\ud800": 0}, None, str), UnicodeEncodeError, None,
                                             "Engine(): the vocabulary key '\\ud800' is not valid text"),
    "override answers numpy.bool": (lambda: str(NumpyBoolAnswer(z.StateMachine())), RuntimeError, CAST,
                                    "NumpyBoolAnswer.has_reached_accept_state returned numpy.bool, expected True or False"),
    "winning token not in the vocabulary": (
        lambda: z.StepperDelta.choose_best_path([z.StepperDelta(Literal("ab").get_new_stepper(), "zz", True)],
                                                z.TrieMap(), None),
        IndexError, "Couldn't find key.", "choose_best_path(): the winning token 'zz' is not a key of the TrieMap given"),
    "big-endian scores": (lambda: engine_over(scripted()).mask_invalid_tokens(np.zeros((1, V), ">f4")), TypeError,
                          "other byte order (format '>f')", None),
}


@pytest.mark.parametrize("name", list(MISTAKES))
def test_mistakes_are_explained(name):
    call, error_type, message, note = MISTAKES[name]
    with pytest.raises(error_type) as caught:
        call()
    text = str(caught.value)
    assert message is None or (message in text if error_type is TypeError else text == message)
    notes = getattr(caught.value, "__notes__", [])
    assert (note is None and not notes) or (len(notes) == 1 and notes[0].startswith(note))
