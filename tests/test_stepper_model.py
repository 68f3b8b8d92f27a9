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


def assert_fresh(s):
    assert s.history == [] and s.get_token_ids_history() == []
    assert s.consumed_character_count == 0
    assert s._raw_value is None and s.remaining_input is None
    assert s.target_state is None and s.sub_stepper is None


@pytest.mark.parametrize("cls", [zc.Stepper, LeafStepper])
@pytest.mark.parametrize("args, state", [((), "begin"), ((None,), "begin"), ((7,), 7), (("7",), "7")])
def test_construction(machine, cls, args, state):
    s = cls(machine, *args)
    assert s.current_state == state and type(s.current_state) is type(state)
    assert s.state_machine is machine
    assert_fresh(s)


def test_start_state_read_at_construction(machine):
    s = zc.Stepper(machine)
    machine.start_state = 3
    assert s.current_state == "begin"
    assert zc.Stepper(machine).current_state == 3


@pytest.mark.parametrize("name, values", [
    ("_raw_value", ["abc", "", "é", None]),
    ("remaining_input", ["rest", "", None]),
    ("target_state", [4, "4", -1, None]),
    ("current_state", [4, "x", 0]),
    ("consumed_character_count", [0, 5, 2**32 - 1]),
])
def test_property_round_trip(machine, name, values):
    s = zc.Stepper(machine)
    for v in values:
        setattr(s, name, v)
        got = getattr(s, name)
        assert got == v and type(got) is type(v)


@pytest.mark.parametrize("name, bad", [
    ("consumed_character_count", -1),
    ("consumed_character_count", 2**32),
    ("consumed_character_count", 1.0),
    ("consumed_character_count", None),
    ("current_state", None),
    ("current_state", 2.5),
    ("target_state", b"x"),
    ("_raw_value", 3),
    ("remaining_input", b"x"),
    ("state_machine", None),
    ("sub_stepper", "s"),
])
def test_property_rejects(machine, name, bad):
    s = zc.Stepper(machine)
    before = getattr(s, name)
    with pytest.raises(TypeError):
        setattr(s, name, bad)
    assert getattr(s, name) == before


def test_sub_stepper_set_and_clear(machine):
    s, sub = zc.Stepper(machine), LeafStepper(machine)
    s.sub_stepper = sub
    assert s.sub_stepper is sub
    s.sub_stepper = None
    assert s.sub_stepper is None


def test_state_machine_reassigned(machine):
    s, other = zc.Stepper(machine), zc.StateMachine()
    s.state_machine = other
    assert s.state_machine is other


def test_add_to_history(machine):
    s, x = zc.Stepper(machine), LeafStepper(machine)
    s.consumed_character_count, x.consumed_character_count = 2, 3
    s._raw_value, s.remaining_input = "r", "q"
    s.add_to_history(x)
    assert s.consumed_character_count == 5
    assert s.history[-1] is x and len(s.history) == 1
    assert (s._raw_value, s.remaining_input, s.get_token_ids_history()) == ("r", "q", [])
    assert x.consumed_character_count == 3
    s.add_to_history(x)
    assert s.consumed_character_count == 8 and [h is x for h in s.history] == [True, True]


def test_add_to_history_override_used_by_python_call(machine):
    calls = []

    class Recording(zc.Stepper):
        def add_to_history(self, stepper):
            calls.append(stepper)
            super().add_to_history(stepper)

    s, x = Recording(machine), zc.Stepper(machine)
    x.consumed_character_count = 4
    s.add_to_history(x)
    assert calls == [x] and calls[0] is x
    assert s.consumed_character_count == 4 and s.history[0] is x


def test_history_read_is_a_new_list(machine):
    s, a = zc.Stepper(machine), zc.Stepper(machine)
    s.history = [a]
    h = s.history
    h.append(zc.Stepper(machine))
    assert len(s.history) == 1 and s.history is not h


@pytest.mark.parametrize("cls", [zc.Stepper, LeafStepper])
def test_clone(machine, cls):
    src = cls(machine, 2)
    src.sub_stepper = zc.Stepper(machine)
    src.history = [zc.Stepper(machine), zc.Stepper(machine)]
    src.consumed_character_count = 6
    src._raw_value, src.remaining_input, src.target_state = "raw", "rem", "t"
    c = src.clone()
    assert type(c) is cls and c is not src
    assert c == src
    assert c.state_machine is machine and c.sub_stepper is src.sub_stepper
    assert [a is b for a, b in zip(c.history, src.history)] == [True, True]
    assert (c.current_state, c._raw_value, c.remaining_input, c.target_state,
            c.consumed_character_count) == (2, "raw", "rem", "t", 6)
    c.add_to_history(zc.Stepper(machine))
    assert len(src.history) == 2 and len(c.history) == 3
    c.sub_stepper = None
    assert src.sub_stepper is not None


def test_clone_of_subclass_runs_its_constructor(machine):
    c = LeafStepper(machine).clone()
    assert isinstance(c, LeafStepper) and c.tag == "leaf"


def test_clone_requiring_extra_argument_raises(machine):
    with pytest.raises(TypeError):
        NeedsExtra(machine, 1).clone()


def test_clone_of_fresh_stepper(machine):
    c = zc.Stepper(machine, "s").clone()
    assert c.current_state == "s"
    assert_fresh(c)


# ---- equality ----------------------------------------------------------

def pair(machine):
    return zc.Stepper(machine), zc.Stepper(machine)


@pytest.mark.parametrize("name, va, vb", [
    ("current_state", 1, "x"),
    ("_raw_value", "a", None),
    ("remaining_input", "a", "b"),
])
def test_eq_ignores(machine, name, va, vb):
    a, b = pair(machine)
    setattr(a, name, va)
    setattr(b, name, vb)
    assert a == b


def test_eq_ignores_history(machine):
    a, b = pair(machine)
    a.history = [zc.Stepper(machine)]
    assert a == b


@pytest.mark.parametrize("name, va, vb", [
    ("target_state", 1, None),
    ("target_state", 1, "1"),
    ("consumed_character_count", 3, 5),
])
def test_eq_compares(machine, name, va, vb):
    a, b = pair(machine)
    setattr(a, name, va)
    setattr(b, name, vb)
    assert not (a == b)


def test_eq_sub_steppers(machine):
    a, b = pair(machine)
    a.sub_stepper = zc.Stepper(machine)
    assert not (a == b) and not (b == a)
    b.sub_stepper = zc.Stepper(machine)
    assert a == b
    b.sub_stepper.consumed_character_count = 1
    assert not (a == b)


def test_eq_uses_machine_equality(machine):
    twin = zc.StateMachine(start_state="begin", end_states=["end"], identifier="m")
    assert zc.Stepper(machine) == zc.Stepper(twin, "begin")
    assert not (zc.Stepper(machine) == zc.Stepper(zc.StateMachine(identifier="other")))


def test_eq_with_non_stepper_raises(machine):
    with pytest.raises(TypeError):
        zc.Stepper(machine).__eq__(machine)


@pytest.mark.parametrize("flag", [True, False])
def test_is_optional_follows_machine(machine, flag):
    s = zc.Stepper(machine)
    assert s.is_optional() is False
    machine.is_optional = flag
    assert s.is_optional() is flag
