"""One object on both sides of the boundary; no leaks at interpreter exit."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import zel_core as zc


class Leaf(zc.StateMachine):
    pass


class LeafStepper(zc.Stepper):
    def __init__(self, state_machine, current_state=None):
        super().__init__(state_machine, current_state)


@pytest.mark.parametrize("mcls", [zc.StateMachine, Leaf])
@pytest.mark.parametrize("scls", [zc.Stepper, LeafStepper])
def test_identity_round_trips(mcls, scls):
    m = mcls()
    s = scls(m)
    sub, h = scls(m), zc.Stepper(Leaf())
    s.sub_stepper = sub
    s.add_to_history(h)
    assert s.state_machine is m and s.state_machine is s.state_machine
    assert s.sub_stepper is sub and s.history[0] is h and h.state_machine is h.state_machine
    c = s.clone()
    assert c.sub_stepper is sub and c.history[0] is h and c.state_machine is m


def test_python_attributes_survive_round_trip():
    m = Leaf()
    m.note = "kept"
    s = LeafStepper(m)
    s.marker = object()
    holder = zc.Stepper(zc.StateMachine({0: [(m, 1)]}))
    holder.sub_stepper = s
    assert holder.sub_stepper.marker is s.marker
    assert holder.state_machine.state_graph[0][0][0].note == "kept"


def test_native_reference_keeps_object_alive():
    holder = zc.Stepper(zc.StateMachine())
    m = Leaf()
    m.note = "alive"
    sub = LeafStepper(m)
    sub.tag = 7
    holder.sub_stepper = sub
    holder.history = [sub]
    graph_owner = zc.StateMachine({0: [(m, 1)]})
    del sub, m
    gc.collect()
    assert holder.sub_stepper.tag == 7 and holder.history[0] is holder.sub_stepper
    assert holder.sub_stepper.state_machine is graph_owner.state_graph[0][0][0]
    assert graph_owner.state_graph[0][0][0].note == "alive"


def test_refcount_released_on_overwrite():
    m, s = zc.StateMachine(), zc.Stepper(zc.StateMachine())
    base = sys.getrefcount(m)
    owners = [zc.Stepper(m) for _ in range(5)]
    s.state_machine = m
    assert sys.getrefcount(m) > base
    del owners
    s.state_machine = zc.StateMachine()
    gc.collect()
    assert sys.getrefcount(m) == base


LEAK_SCRIPT = textwrap.dedent("""
    import gc
    import zel_core as zc

    class Leaf(zc.StateMachine):
        pass

    class LeafStepper(zc.Stepper):
        def __init__(self, state_machine, current_state=None):
            super().__init__(state_machine, current_state)

    for i in range(300):
        leaf = Leaf(identifier="leaf")
        m = zc.StateMachine({0: [(leaf, 1)], 1: [(zc.StateMachine(), "$")]})
        m.state_graph = {0: [(m, 1)], 1: [(leaf, "$")]}
        s = LeafStepper(m)
        s.me = s
        s.sub_stepper = LeafStepper(leaf)
        s.add_to_history(zc.Stepper(m))
        c = s.clone()
        c.history = c.history + [s, c]
        c.sub_stepper = c
        plain = zc.Stepper(zc.StateMachine())
        plain.history = [plain]
        t = zc.TrieMap().insert_all([("a", 1), ("b", 2)])
    del leaf, m, s, c, plain, t
    gc.collect()
    print("done")
""")


def test_no_leaks_at_exit():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(zc.__file__)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run([sys.executable, "-c", LEAK_SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"
    assert "leaked" not in proc.stderr, proc.stderr
