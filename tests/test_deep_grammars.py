"""Deeply nested and self-recursive grammars work or raise; they never crash."""

import os
import subprocess
import sys
import textwrap

import pytest

# Instrumented builds use several times more stack per level of nesting.
SANITIZED = bool(os.environ.get("ZEL_SANITIZED"))


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(SANITIZED, reason="a sanitized build runs out of stack sooner and refuses the walk")
def test_chain_of_ten_thousand_machines_is_walked():
    child = run_child("""
        import zel_core as z
        from zel.leaves import Literal
        machine = Literal("x")
        for _ in range(10_000):
            machine = z.StateMachine({0: [(machine, "$")]})
        steppers = machine.get_steppers()
        advanced = z.StateMachine.advance_all_basic(steppers, "x")
        print(len(steppers), len(advanced), advanced[0].has_reached_accept_state())
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["1", "1", "True"]


def test_self_recursive_machine_raises_instead_of_crashing():
    child = run_child("""
        import zel_core as z
        machine = z.StateMachine()
        machine.state_graph = {0: [(machine, 1)]}
        for attempt in range(2):
            try:
                machine.get_steppers()
            except RuntimeError as error:
                print("RuntimeError", "nested too deeply" in str(error))
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["RuntimeError", "True"] * 2


def test_chains_a_hundred_thousand_deep_are_walked_printed_and_dropped():
    child = run_child("""
        import gc
        import zel_core as z
        from zel.leaves import Literal
        N = 100_000
        machine = Literal("x")
        for _ in range(N):
            machine = z.StateMachine({0: [(machine, "$")]})
        for operation in (machine.get_steppers, lambda: repr(machine), lambda: machine == machine):
            try:
                operation()
            except RuntimeError as error:
                assert "nested too deeply" in str(error)
        del machine, operation

        nested = z.Stepper(z.StateMachine())
        for _ in range(N):
            outer = z.Stepper(z.StateMachine())
            outer.sub_stepper = nested
            nested = outer
        del nested, outer

        archived = z.Stepper(z.StateMachine())
        for _ in range(N):
            holder = z.Stepper(z.StateMachine())
            holder.add_to_history(archived)
            archived = holder
        del archived, holder
        gc.collect()
        print("survived")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "survived"
