"""Stepper fields, history bookkeeping, clone and equality."""
import pytest

import zel_core as zc


class LeafStepper(zc.Stepper):
    def __init__(self, state_machine, current_state=None):
        super().__init__(state_machine, current_state)
        self.tag = "leaf"


class NeedsExtra(zc.Stepper):
    def __init__(self, state_machine, extra):
        super().__init__(state_machine)


@pytest.fixture
def machine():
    return zc.StateMachine(start_state="begin", end_states=["end"], identifier="m")


@pytest.mark.parametrize("cls", [zc.Stepper, LeafStepper])
@pytest.mark.parametrize("args, state", [((), "begin"), ((None,), "begin"), ((7,), 7), (("7",), "7")])
def test_construction(machine, cls, args, state):
    s = cls(machine, *args)
    assert s.current_state == state and type(s.current_state) is type(state)
    assert s.state_machine is machine
    assert (s.history, s.get_token_ids_history(), s.consumed_character_count) == ([], [], 0)
    assert (s._raw_value, s.remaining_input, s.target_state, s.sub_stepper) == (None,) * 4


@pytest.mark.parametrize("name, values", [
    ("_raw_value", ["abc", "", "é", None]),
    ("remaining_input", ["rest", None]),
    ("target_state", [4, "4", -1, None]),
    ("current_state", [4, "x"]),
    ("consumed_character_count", [5, 2**32 - 1, 0]),
])
def test_property_round_trip(machine, name, values):
    s = zc.Stepper(machine)
    for v in values:
        setattr(s, name, v)
        assert getattr(s, name) == v and type(getattr(s, name)) is type(v)


@pytest.mark.parametrize("name, bad", [
    ("consumed_character_count", -1), ("consumed_character_count", 2**32),
    ("consumed_character_count", 1.0), ("current_state", None), ("target_state", b"x"),
    ("_raw_value", 3), ("state_machine", None), ("sub_stepper", "s"),
])
def test_property_rejects(machine, name, bad):
    s = zc.Stepper(machine)
    before = getattr(s, name)
    with pytest.raises(TypeError):
        setattr(s, name, bad)
    assert getattr(s, name) == before


def test_add_to_history(machine):
    s, x = zc.Stepper(machine), LeafStepper(machine)
    s.consumed_character_count, x.consumed_character_count = 2, 3
    s._raw_value, s.remaining_input = "r", "q"
    s.add_to_history(x)
    assert s.consumed_character_count == 5 and len(s.history) == 1 and s.history[-1] is x
    assert (s._raw_value, s.remaining_input, s.get_token_ids_history()) == ("r", "q", [])
    s.add_to_history(x)
    assert s.consumed_character_count == 8 and s.history[1] is x
    s.history.append(x)                          # a read is a new list
    assert len(s.history) == 2


@pytest.mark.parametrize("cls", [zc.Stepper, LeafStepper])
def test_clone(machine, cls):
    src = cls(machine, 2)
    src.sub_stepper = zc.Stepper(machine)
    src.history = [zc.Stepper(machine), zc.Stepper(machine)]
    src.consumed_character_count = 6
    src._raw_value, src.remaining_input, src.target_state = "raw", "rem", "t"
    c = src.clone()
    assert type(c) is cls and c is not src and c == src
    assert c.state_machine is machine and c.sub_stepper is src.sub_stepper
    assert [a is b for a, b in zip(c.history, src.history)] == [True, True]
    assert (c.current_state, c._raw_value, c.remaining_input, c.target_state,
            c.consumed_character_count) == (2, "raw", "rem", "t", 6)
    c.add_to_history(zc.Stepper(machine))
    c.sub_stepper = None
    assert len(src.history) == 2 and len(c.history) == 3 and src.sub_stepper is not None


def test_clone_of_subclass_runs_its_constructor(machine):
    assert LeafStepper(machine).clone().tag == "leaf"
    with pytest.raises(TypeError):
        NeedsExtra(machine, 1).clone()


@pytest.mark.parametrize("name, va, vb, equal", [
    ("current_state", 1, "x", True),
    ("_raw_value", "a", None, True),
    ("remaining_input", "a", "b", True),
    ("target_state", 1, None, False),
    ("target_state", 1, "1", False),
    ("consumed_character_count", 3, 5, False),
])
def test_eq_terms(machine, name, va, vb, equal):
    a, b = zc.Stepper(machine), zc.Stepper(machine)
    setattr(a, name, va)
    setattr(b, name, vb)
    a.history = [zc.Stepper(machine)]           # history never counts
    assert (a == b) is equal and (b == a) is equal


def test_eq_sub_steppers_and_machines(machine):
    a, b = zc.Stepper(machine), zc.Stepper(machine)
    a.sub_stepper = zc.Stepper(machine)
    assert not (a == b) and not (b == a)
    b.sub_stepper = zc.Stepper(machine)
    assert a == b
    b.sub_stepper.consumed_character_count = 1
    assert not (a == b)
    twin = zc.StateMachine(start_state="begin", end_states=["end"], identifier="m")
    assert zc.Stepper(machine) == zc.Stepper(twin)
    assert not (zc.Stepper(machine) == zc.Stepper(zc.StateMachine(identifier="other")))
    assert zc.Stepper(machine).__eq__(machine) is NotImplemented


def test_is_optional_follows_machine(machine):
    s = zc.Stepper(machine)
    assert s.is_optional() is False
    machine.is_optional = True
    assert s.is_optional() is True
