"""Module surface: docstrings, signatures and argument conversion rules."""
import pytest

import zel_core as zc

def test_module_docstring_lists_every_class():
    lines = zc.__doc__.split("\n")
    assert lines[0] == "" and lines[1] == "        ZEL Core: State Machine Grammar Constraints for Language Models"
    assert all(line.startswith("        ") for line in lines[1:-1] if line)
    listed = [line.strip() for line in lines[lines.index("           :toctree: _generate") + 1:] if line.strip()]
    assert listed == ["StateMachine", "Stepper", "StepperDelta", "Engine", "TrieMap"]


@pytest.mark.parametrize("cls, first_line", [
    (zc.StateMachine, "Defines a grammar as a finite state machine with transitions between states."),
    (zc.Stepper, "Represents a position within a state machine and manages traversal."),
    (zc.TrieMap, "An efficient HAT-trie based map implementation for string-to-value mapping."),
])
def test_class_docstring_first_line(cls, first_line):
    assert cls.__doc__.splitlines()[0] == first_line


@pytest.mark.parametrize("func, pieces", [
    (zc.StateMachine.__init__, ["state_graph", "start_state: int | str = 0", "= ['$']",
                                "is_optional: bool = False", "is_case_sensitive: bool = True",
                                "identifier: str | None = None", "Initialize a new state machine."]),
    (zc.Stepper.__init__, ["state_machine", "current_state: int | str | None = None",
                           "Initialize a new stepper for traversing a state machine."]),
])
def test_init_signature_names_in_order(func, pieces):
    positions = [func.__doc__.index(p) for p in pieces]
    assert positions == sorted(positions)


@pytest.mark.parametrize("given, expected", [
    (5, 5), (-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1),
    ("1", "1"), ("", ""), ("é$", "é$"), (True, 1), (False, 0),
])
def test_state_id_accepted(given, expected):
    m = zc.StateMachine(start_state=given, end_states=[given])
    assert m.start_state == expected and type(m.start_state) is type(expected)
    assert type(m.end_states[0]) is type(expected)
    assert zc.Stepper(m, given).current_state == expected


@pytest.mark.parametrize("bad", [1.0, 1.5, 2**31, -(2**31) - 1, b"1", None, [1]])
def test_state_id_rejected(bad):
    m = zc.StateMachine()
    for call in (lambda: zc.StateMachine(start_state=bad), lambda: setattr(m, "start_state", bad),
                 lambda: setattr(m, "end_states", [0, bad]), lambda: m.get_edges(bad)):
        with pytest.raises(TypeError):
            call()
    assert (m.start_state, m.end_states) == (0, ["$"])


@pytest.mark.parametrize("bad", [1, 0, None, "True", 1.0])
@pytest.mark.parametrize("name", ["is_optional", "is_case_sensitive"])
def test_bool_arguments_strict(name, bad):
    with pytest.raises(TypeError):
        zc.StateMachine(**{name: bad})
    m = zc.StateMachine()
    before = getattr(m, name)
    with pytest.raises(TypeError):
        setattr(m, name, bad)
    assert getattr(m, name) == before


@pytest.mark.parametrize("bad", ["ab", b"ab", None, [1]])
def test_str_is_not_a_stepper_list(bad):
    s = zc.Stepper(zc.StateMachine())
    with pytest.raises(TypeError):
        s.history = bad
    s.history = (s.clone(),)          # any real sequence is fine
    assert len(s.history) == 1


@pytest.mark.parametrize("call", [
    lambda: zc.Stepper("not a machine"),
    lambda: zc.Stepper(None),
    lambda: zc.Stepper(zc.StateMachine()).__eq__(arg=zc.Stepper(zc.StateMachine())),  # positional-only
])
def test_rejected_calls(call):
    with pytest.raises(TypeError):
        call()
