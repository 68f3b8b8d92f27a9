"""Reference cycles that pass through native fields are collectable."""

import gc
import weakref

import pytest
import zel_core as z


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
