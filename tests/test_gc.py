"""Reference cycles that pass through native fields are collectable."""

import gc
import json
import weakref

import pytest
import zel_core as z
from engine_kit import run_isolated
from zel.leaves import Literal, LiteralStepper


class Machine(z.StateMachine):
    pass


class Step(z.Stepper):
    pass


def self_attribute():
    s = Step(z.StateMachine())
    s.me = s
    return [s]


def self_naming_graph():
    m = Machine()
    m.state_graph = {0: [(m, "$")]}
    return [m]


def machines_name_each_other():
    a, b = Machine(), Machine()
    a.state_graph, b.state_graph = {0: [(b, 1)]}, {0: [(a, 1)]}
    return [a, b]


def history_points_back():
    a, b = Step(z.StateMachine()), Step(z.StateMachine())
    b.back = a
    a.add_to_history(b)
    return [a, b]


def sub_stepper_points_back():
    a, b = Step(z.StateMachine()), Step(z.StateMachine())
    a.sub_stepper, b.parent = b, a
    return [a, b]


def machine_holds_its_stepper():
    m = Machine()
    m.stepper = Step(m)
    return [m, m.stepper]


@pytest.mark.parametrize("build", [self_attribute, self_naming_graph, machines_name_each_other,
                                   history_points_back, sub_stepper_points_back, machine_holds_its_stepper])
def test_cycle_is_collected(build):
    gc.disable()
    try:
        refs = [weakref.ref(o) for o in build()]
        assert all(r() is not None for r in refs)  # only the collector can free them
    finally:
        gc.enable()
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_objects_reachable_only_natively_survive_collection():
    leaf, cyc = Machine(), Machine()
    m = z.StateMachine({0: [(leaf, "$")]})
    cyc.state_graph = {0: [(cyc, "$"), (leaf, 1)]}
    holder = z.Stepper(m)
    holder.history = [Step(leaf)]
    holder.history[0].tag = "kept"
    holder.sub_stepper = Step(leaf)
    refs = [weakref.ref(leaf), weakref.ref(holder.history[0]), weakref.ref(cyc)]
    del leaf, cyc
    gc.collect()
    assert refs[0]() is not None and refs[1]() is not None and refs[2]() is None
    assert m.state_graph[0][0][0] is refs[0]() and holder.sub_stepper.state_machine is refs[0]()
    assert holder.history[0] is refs[1]() and holder.history[0].tag == "kept"
    assert len(m.get_steppers()) == 1


# --- cycles through Steppers that only native code has seen --------------------

class Leaf(Literal):
    pass


def engine_whose_leaf_owns_it(tokens=()):
    """An Engine whose grammar's leaf refers back to the Engine; reset and the
    tokens make its Steppers natively (they have no Python objects)."""
    engine = z.Engine({"a": 0, "b": 1}, None, lambda ids: "ab"[ids[0]])
    leaf = Leaf("abab")
    leaf.owner = engine
    # The middle machine is native: its Steppers are native-only too.
    engine.state_machine = Machine({0: [(z.StateMachine({0: [(leaf, "$")]}), "$")]})
    engine.reset()
    for token in tokens:
        assert engine.consume(token) == token
    return engine


@pytest.mark.parametrize("tokens", [(), (0,), (0, 1, 0)], ids=["reset", "one token", "three tokens"])
def test_cycles_through_native_only_steppers_are_collected(tokens):
    gc.collect()
    refs = []
    for _ in range(50):
        refs.append(weakref.ref(engine_whose_leaf_owns_it(tokens).state_machine))
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_native_only_steppers_shared_between_live_engines_keep_what_they_reach():
    first, second = engine_whose_leaf_owns_it((0,)), engine_whose_leaf_owns_it()
    # Clones share their native-only sub-Steppers with the originals, so
    # neither Engine owns them alone.
    second.steppers = [s.clone() for s in first.steppers]
    # (Found without asking the native-only Steppers, which would give them
    # Python objects.)
    leaves = [weakref.ref(o) for o in gc.get_objects() if isinstance(o, LiteralStepper)
              and getattr(o.state_machine, "owner", None) in (first, second)]
    gc.collect()
    assert leaves and all(r() is not None for r in leaves)
    assert [e.consume(1) for e in (first, second)] == [1, 1]
    assert [s.get_raw_value() for e in (first, second) for s in e.steppers] == ["ab", "ab"]
    # Once nothing is shared any more, both cycles are collected.
    refs = [weakref.ref(first.state_machine), weakref.ref(second.state_machine)]
    second.reset()
    del first, second
    gc.collect()
    assert [r() for r in refs] == [None, None]


REFERENCES_REPORTED = """
import gc, json, sys
import zel_core as z
from test_gc import Step, engine_whose_leaf_owns_it

keep = []
# Clones share their history cells and sub-Steppers.
archived = Step(z.StateMachine())
archived.tag = "archived"
original = z.Stepper(z.StateMachine())
original.add_to_history(archived)
original.sub_stepper = Step(z.StateMachine())
keep += [original, original.clone(), original.clone().clone()]
# Engines whose native-only Steppers share cells and sub-Steppers, among
# themselves and with another Engine's.
first, second = engine_whose_leaf_owns_it((0, 1)), engine_whose_leaf_owns_it((0,))
second.steppers = second.steppers + [s.clone() for s in first.steppers]
first.consume(0)
keep += [first, second]
del archived, original

gc.collect()
grammar_types = (z.Stepper, z.StateMachine, z.Engine)
watched = {id(o): o for o in gc.get_objects() if isinstance(o, grammar_types)}
reports = dict.fromkeys(watched, 0)
for holder in gc.get_objects():
    for referent in gc.get_referents(holder):
        if id(referent) in reports:
            reports[id(referent)] += 1
del holder, referent
# References held by this module's frame are not reported; the collector
# frees an object when reports reach its count.
over = [type(o).__name__ for key, o in watched.items() if reports[key] > sys.getrefcount(o) - 2]
print(json.dumps([len(watched), over]))
"""


def test_no_reference_is_reported_more_often_than_it_is_held():
    # Reporting a reference twice (a history cell shared by two clones, a
    # native-only Stepper shared by two Engines) would let the collector free
    # objects that are still in use.
    done = run_isolated(REFERENCES_REPORTED)
    assert done.returncode == 0, done.stderr[-3000:]
    count, over = json.loads(done.stdout)
    assert count > 10 and over == []
