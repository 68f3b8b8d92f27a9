"""Module surface: docstrings, signatures and argument conversion rules."""
import pytest

import zel_core as zc

MODULE_DOC = """
        ZEL Core: State Machine Grammar Constraints for Language Models
        ---------------------------------------------------------------

        This module provides the core classes for defining and traversing
        grammar-based constraints for language model token generation.
        The system implements a non-deterministic state machine approach that
        allows efficient exploration of multiple valid paths.

        Key components:
        - StateMachine: Defines grammar rules through state transitions
        - Stepper: Represents a position in a state machine with traversal methods
        - StepperDelta: Represents state changes after token consumption
        - Engine: Orchestrates token processing and logit modification
        - TrieMap: Efficient string-to-value mapping for tokenization

        .. currentmodule:: zel_core

        .. autosummary::
           :toctree: _generate

           StateMachine
           Stepper
           StepperDelta
           Engine
           TrieMap
    """


def test_module_docstring_exact():
    assert zc.__doc__ == MODULE_DOC


def test_no_module_level_functions():
    public = {n for n in dir(zc) if not n.startswith("_")}
    assert {"StateMachine", "Stepper", "TrieMap"} <= public
    assert all(isinstance(getattr(zc, n), type) for n in public)


@pytest.mark.parametrize("cls, first_line", [
    (zc.StateMachine, "Defines a grammar as a finite state machine with transitions between states."),
    (zc.Stepper, "Represents a position within a state machine and manages traversal."),
    (zc.TrieMap, "An efficient HAT-trie based map implementation for string-to-value mapping."),
])
def test_class_docstring_first_line(cls, first_line):
    assert cls.__doc__.splitlines()[0] == first_line


@pytest.mark.parametrize("cls", [zc.StateMachine, zc.Stepper, zc.TrieMap])
def test_classes_are_subclassable(cls):
    sub = type("Sub" + cls.__name__, (cls,), {})
    assert issubclass(sub, cls)


def test_init_signatures():
    sm_doc = zc.StateMachine.__init__.__doc__
    for piece in ("start_state: int | str = 0", "end_states: collections.abc.Sequence[int | str] = ['$']",
                  "is_optional: bool = False", "is_case_sensitive: bool = True",
                  "identifier: str | None = None", "Initialize a new state machine."):
        assert piece in sm_doc
    order = [sm_doc.index(a) for a in ("state_graph", "start_state", "end_states",
                                         "is_optional", "is_case_sensitive", "identifier")]
    assert order == sorted(order)
    st_doc = zc.Stepper.__init__.__doc__
    assert "current_state: int | str | None = None" in st_doc
    assert "Initialize a new stepper for traversing a state machine." in st_doc


def test_all_constructor_arguments_by_keyword():
    sub = zc.StateMachine(identifier="sub")
    m = zc.StateMachine(state_graph={0: [(sub, 1)]}, start_state=0, end_states=[1],
                        is_optional=True, is_case_sensitive=False, identifier="m")
    assert (m.end_states, m.is_optional, m.is_case_sensitive, m.identifier) == ([1], True, False, "m")
    s = zc.Stepper(state_machine=m, current_state="x")
    assert s.current_state == "x"


# ---- StateId conversion -------------------------------------------------

@pytest.mark.parametrize("given, expected", [
    (5, 5), (-7, -7), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
    ("1", "1"), ("", ""), ("é$", "é$"), (True, 1), (False, 0),
])
def test_state_id_accepted(given, expected):
    m = zc.StateMachine(start_state=given)
    assert m.start_state == expected and type(m.start_state) is type(expected)
    assert zc.Stepper(m, given).current_state == expected


@pytest.mark.parametrize("bad", [1.0, 1.5, 2**31, -(2**31) - 1, b"1", None, [1]])
def test_state_id_rejected(bad):
    with pytest.raises(TypeError):
        zc.StateMachine(start_state=bad)
    m = zc.StateMachine()
    with pytest.raises(TypeError):
        m.start_state = bad
    with pytest.raises(TypeError):
        m.end_states = [0, bad]
    assert m.end_states == ["$"]


def test_int_and_str_states_distinct():
    m = zc.StateMachine(start_state=1)
    assert m.start_state == 1 and m.start_state != "1"
    m.start_state = "1"
    assert m.start_state == "1"


def test_state_id_none_only_where_optional():
    m = zc.StateMachine()
    assert zc.Stepper(m, None).current_state == 0
    with pytest.raises(TypeError):
        m.get_edges(None)


# ---- bool / other scalars ----------------------------------------------

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


@pytest.mark.parametrize("bad", [b"x", 1])
def test_identifier_accepts_only_str_or_none(bad):
    with pytest.raises(TypeError):
        zc.StateMachine(identifier=bad)


@pytest.mark.parametrize("bad", ["ab", b"ab", None, [1]])
def test_history_rejects_non_stepper_sequences(bad):
    s = zc.Stepper(zc.StateMachine())
    with pytest.raises(TypeError):
        s.history = bad


def test_history_accepts_tuple():
    m = zc.StateMachine()
    a, s = zc.Stepper(m), zc.Stepper(m)
    s.history = (a,)
    assert len(s.history) == 1 and s.history[0] is a


@pytest.mark.parametrize("bad", ["not a machine", None, 3])
def test_stepper_requires_machine(bad):
    with pytest.raises(TypeError):
        zc.Stepper(bad)


def test_positional_only_stepper_eq():
    s = zc.Stepper(zc.StateMachine())
    with pytest.raises(TypeError):
        s.__eq__(arg=s)
