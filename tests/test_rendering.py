"""The text forms of machines and steppers that pin the layout."""

import zel_core as z

START, END, RESET = "\x1b[34m\u25b6\ufe0f ", "\x1b[32m\U0001f3c1 ", "\x1b[0m"
DONE, LOOP = "\u2705", " \U0001f504 "


def named(name, text=None):
    return type(name, (z.StateMachine,), {} if text is None else {"__str__": lambda self: text})()


def test_machine_repr():
    sub, two = named("S"), named("Two", "A\nB")
    m = z.StateMachine({2: [(sub, "$"), (sub, 10), (two, "b")], "a": [(sub, 2)], 10: [(two, 0)]},
                       start_state=2, end_states=["$", 2, 0])
    assert repr(m) == (
        "StateMachine(graph={\n"
        f"    10: A\n    B --> {END}0{RESET},\n"
        f"    {START}2{RESET}: [ \n"
        "        S --> 10,\n"
        "        A\n        B --> b,\n"
        f"        S --> {DONE}\n"
        "    ],\n"
        f"    a: S --> {END}2{RESET}\n"
        "})"
    )
    assert str(m) == "StateMachine" and z.StateMachine().__repr__(3) == "StateMachine()"


def stepper(state, **fields):
    s = z.Stepper(z.StateMachine(), state)
    for k, v in fields.items():
        setattr(s, k, v)
    return s


def test_stepper_text_forms_compact_and_block():
    assert str(stepper(0, target_state=0)) == f"StateMachine.Stepper (State: 0{LOOP}0)"
    assert repr(stepper(7, remaining_input="x\ny")) == \
        f"StateMachine.Stepper (State: 7, Remaining input: \x1b[33mx\\ny{RESET})"
    value = f"Value: \x1b[32m{'v' * 70}{RESET}"
    outer = stepper(2, sub_stepper=stepper(3, sub_stepper=stepper(1, _raw_value="v" * 70)))
    assert repr(outer) == "\n".join([
        "StateMachine.Stepper {", "  State: 2", "  " + value, "  Transition:",
        "  StateMachine.Stepper {", "    State: 3", "    " + value, "    Transition:",
        "    StateMachine.Stepper {", "      State: 1", "      " + value, "    }",
        "  }", "}",
    ])
