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
    s, sub, h = scls(m), scls(m), zc.Stepper(Leaf())
    s.sub_stepper = sub
    s.add_to_history(h)
    assert s.state_machine is m and s.sub_stepper is sub and s.history[0] is h
    s.sub_stepper, other = None, mcls()
    assert s.sub_stepper is None
    s.state_machine = other
    assert s.state_machine is other
    s.sub_stepper, s.state_machine = sub, m
    c = s.clone()
    assert c.sub_stepper is sub and c.history[0] is h and c.state_machine is m


def test_native_reference_keeps_python_object_alive():
    sub = LeafStepper(Leaf())
    sub.tag = 7
    holder = zc.Stepper(zc.StateMachine({0: [(sub.state_machine, 1)]}))
    holder.sub_stepper = sub
    del sub
    gc.collect()
    assert holder.sub_stepper.tag == 7
    assert holder.sub_stepper.state_machine is holder.state_machine.state_graph[0][0][0]


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
    assert proc.returncode == 0 and proc.stdout.strip() == "done", proc.stderr
    assert "leaked" not in proc.stderr, proc.stderr
