"""Exact text forms of machines and steppers."""

import pytest
import zel_core as z

START, END, RESET = "\x1b[34m\u25b6\ufe0f ", "\x1b[32m\U0001f3c1 ", "\x1b[0m"
DONE, LOOP, ARROW = "\u2705", " \U0001f504 ", " \u2794 "


def named(name, text=None):
    return type(name, (z.StateMachine,), {} if text is None else {"__str__": lambda self: text})()


def test_machine_repr_example_byte_for_byte():
    m = z.StateMachine({0: [(named("P"), 1)], 1: [(named("Q"), "$"), (named("R"), 0)]})
    assert repr(m) == (
        "StateMachine(graph={\n"
        f"    {START}0{RESET}: P --> 1,\n"
        "    1: [ \n"
        "        R --> 0,\n"
        f"        Q --> {DONE}\n"
        "    ]\n"
        "})"
    )
    assert str(m) == "StateMachine"


@pytest.mark.parametrize("level", [0, 3])
def test_empty_graph(level):
    assert z.StateMachine().__repr__(level) == "StateMachine()"
    assert named("Leaf").__repr__(level) == "Leaf()"


def test_indentation_level_one():
    m = z.StateMachine({"s": [(named("A"), "t"), (named("B"), "u")]})
    assert m.__repr__(1) == ("StateMachine(graph={\n        s: [ \n" + " " * 16 + "A --> t,\n"
                             + " " * 16 + "B --> u\n        ]\n})")


def test_states_sorted_by_text_and_target_labels():
    sub = named("S")
    m = z.StateMachine({2: [(sub, "$")], "a": [(sub, 2)], 10: [(sub, 0)]}, start_state=2, end_states=["$", 2, 0])
    assert repr(m) == (
        "StateMachine(graph={\n"
        f"    10: S --> {END}0{RESET},\n"
        f"    {START}2{RESET}: S --> {DONE},\n"
        f"    a: S --> {END}2{RESET}\n"
        "})"
    )


def test_edges_sorted_by_target_with_done_last():
    sub = named("S")
    m = z.StateMachine({"x": [(sub, "$"), (sub, "b"), (sub, 10), (sub, "a"), (sub, 9)]})
    assert [ln.strip() for ln in repr(m).split("\n")[2:7]] == \
        ["S --> 10,", "S --> 9,", "S --> a,", "S --> b,", f"S --> {DONE}"]


@pytest.mark.parametrize("edges, body", [
    (1, "    s: A\n    B --> t\n"),
    (2, "    s: [ \n        A\n        B --> t,\n        A\n        B --> u\n    ]\n"),
])
def test_multi_line_sub_machine_is_indented(edges, body):
    sub = named("Two", "A\nB")
    assert repr(z.StateMachine({"s": [(sub, "t"), (sub, "u")][:edges]})) == "StateMachine(graph={\n" + body + "})"


def stepper(state=0, machine=None, cls=z.Stepper, **fields):
    s = cls(machine or z.StateMachine(), state)
    for k, v in fields.items():
        setattr(s, k, v)
    return s


class Open(z.Stepper):
    def can_accept_more_input(self):
        return True


@pytest.mark.parametrize("s, text, detail", [
    (stepper(), "StateMachine.Stepper (State: 0)", f"StateMachine.Stepper (State: {START}0{RESET})"),
    (stepper(target_state=0), f"StateMachine.Stepper (State: 0{LOOP}0)", f"StateMachine.Stepper (State: {START}0{RESET})"),
    (stepper(cls=Open, target_state=0), f"StateMachine.Stepper (State: 0{LOOP}0)",
     f"StateMachine.Stepper (State: {START}0{RESET}{LOOP}0)"),
    (stepper("$", target_state=1), f"{DONE} StateMachine.Stepper (State: ${ARROW}1)",
     f"{DONE} StateMachine.Stepper (State: {END}${RESET}{ARROW}1)"),
    (stepper("$", named("Lit")), f"{DONE} Lit.Stepper (State: $)", f"{DONE} Lit.Stepper (State: {END}${RESET})"),
])
def test_stepper_str_and_repr(s, text, detail):
    assert (str(s), repr(s)) == (text, detail)


@pytest.mark.parametrize("fields, lines", [
    ({"_raw_value": "a\nb"}, f", Value: \x1b[32ma\\nb{RESET}"),
    ({"_raw_value": ""}, ""),
    ({"remaining_input": ""}, f", Remaining input: \x1b[33m{RESET}"),
    ({"remaining_input": "x\ny"}, f", Remaining input: \x1b[33mx\\ny{RESET}"),
])
def test_stepper_repr_value_and_remaining_input_lines(fields, lines):
    assert repr(stepper(7, **fields)) == f"StateMachine.Stepper (State: 7{lines})"


@pytest.mark.parametrize("width, block", [(50, False), (51, True)])
def test_stepper_repr_compact_up_to_80_bytes(width, block):
    state = "s" * width
    compact = f"StateMachine.Stepper (State: {state})"
    assert len(compact.encode()) == 30 + width
    assert repr(stepper(state)) == (f"StateMachine.Stepper {{\n  State: {state}\n}}" if block else compact)


class Fixed(z.Stepper):
    text = ""

    def __repr__(self):
        return self.text


BLOCK_HEAD = f"StateMachine.Stepper {{\n  State: {START}0{RESET}\n"


@pytest.mark.parametrize("sub_repr, expected", [
    ("x" * 39, BLOCK_HEAD + "  Transition: " + "x" * 39 + "\n}"),
    ("x" * 40, BLOCK_HEAD + "  Transition:\n  " + "x" * 40 + "\n}"),
    ("a\nb", f"StateMachine.Stepper (State: {START}0{RESET}, Transition:\n  a\n  b)"),
])
def test_stepper_repr_transition_line(sub_repr, expected):
    assert repr(stepper(sub_stepper=stepper(cls=Fixed, text=sub_repr))) == expected


def test_stepper_repr_nested_blocks():
    value = f"Value: \x1b[32m{'v' * 70}{RESET}"
    outer = stepper(2, sub_stepper=stepper(3, sub_stepper=stepper(1, _raw_value="v" * 70)))
    assert repr(outer) == "\n".join([
        "StateMachine.Stepper {", "  State: 2", "  " + value, "  Transition:",
        "  StateMachine.Stepper {", "    State: 3", "    " + value, "    Transition:",
        "    StateMachine.Stepper {", "      State: 1", "      " + value, "    }",
        "  }", "}",
    ])
