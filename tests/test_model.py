"""The grammar model: StateMachine and Stepper fields, state ids, refusals,
history bookkeeping, clone and structural equality."""
import pytest

import zel_core as zc


class Leaf(zc.StateMachine):
    pass


class OtherLeaf(zc.StateMachine):
    pass


class LeafStepper(zc.Stepper):
    def __init__(self, state_machine, current_state=None):
        super().__init__(state_machine, current_state)
        self.tag = "leaf"


class NeedsExtra(zc.Stepper):
    def __init__(self, state_machine, extra):
        super().__init__(state_machine)


def test_graph_round_trip_keeps_keys_edge_order_and_identity():
    a, b = zc.StateMachine(identifier="a"), Leaf()
    m = zc.StateMachine({1: [(a, 2), (b, "$")], "1": [(b, 1)], 2: []}, end_states=[1, "1", 1])
    g = m.state_graph
    assert set(g) == {1, "1", 2} and g[2] == [] and [e[1] for e in g[1]] == [2, "$"]
    assert g[1][0][0] is a and g[1][1][0] is b and g["1"][0][0] is b
    assert m.end_states == [1, "1", 1]


@pytest.mark.parametrize("given, expected", [("1", "1"), (True, 1), (-(2**31), -(2**31))])
def test_state_ids_keep_their_kind(given, expected):
    m = zc.StateMachine(start_state=given, end_states=[given])
    assert m.start_state == expected and type(m.start_state) is type(expected)
    assert type(m.end_states[0]) is type(expected)
    assert zc.Stepper(m, given).current_state == expected


@pytest.mark.parametrize("bad_graph", [{0: [(None, 1)]}, {0: [("m", 1)]}, {1.5: []}, {0: [(Leaf(), 2**31)]}])
def test_bad_graph_refused_and_machine_unchanged(bad_graph):
    with pytest.raises(TypeError):
        zc.StateMachine(bad_graph)
    m = zc.StateMachine({0: []})
    with pytest.raises(TypeError):
        m.state_graph = bad_graph
    assert m.state_graph == {0: []}


@pytest.mark.parametrize("name, bad", [
    ("history", [None]), ("history", "ab"), ("sub_stepper", "s"), ("state_machine", None),
    ("current_state", None), ("consumed_character_count", -1), ("consumed_character_count", 2**32),
])
def test_stepper_refusals_leave_it_unchanged(name, bad):
    s = zc.Stepper(zc.StateMachine())
    before = getattr(s, name)
    with pytest.raises(TypeError):
        setattr(s, name, bad)
    assert getattr(s, name) == before


def test_clone_shares_references_and_keeps_lists_independent():
    m = zc.StateMachine(identifier="m")
    src = LeafStepper(m, 2)
    src.sub_stepper, src.history = zc.Stepper(m), [zc.Stepper(m), zc.Stepper(m)]
    src.consumed_character_count, src._raw_value, src.target_state = 6, "raw", "t"
    c = src.clone()
    assert type(c) is LeafStepper and c.tag == "leaf" and c is not src and c == src
    assert c.sub_stepper is src.sub_stepper and all(a is b for a, b in zip(c.history, src.history))
    assert (c.current_state, c._raw_value, c.target_state) == (2, "raw", "t")
    c.add_to_history(zc.Stepper(m))
    c.sub_stepper = None
    assert len(src.history) == 2 and src.sub_stepper is not None
    c.consumed_character_count, src.history[0].consumed_character_count = 2, 3
    c.add_to_history(src.history[0])
    assert c.consumed_character_count == 5 and c.history[-1] is src.history[0]
    with pytest.raises(TypeError):  # a subclass's clone runs its constructor
        NeedsExtra(m, 1).clone()


def build(first=("a", 1), second=("b", 2), **kw):
    return zc.StateMachine({0: [(zc.StateMachine(identifier=first[0]), first[1]),
                                (zc.StateMachine(identifier=second[0]), second[1])]}, **kw)


@pytest.mark.parametrize("kw_a, kw_b", [
    ({}, {"first": ("b", 2), "second": ("a", 1)}),        # edge order swapped
    ({}, {"first": ("z", 1)}),                            # sub-machine name
    ({}, {"first": ("a", "1")}),                          # int vs str target
    ({}, {"start_state": 1}),
    ({}, {"end_states": ["$", "$"]}),
    ({"end_states": [1, 2]}, {"end_states": [2, 1]}),
    ({}, {"is_optional": True}),
    ({}, {"is_case_sensitive": False}),
    ({"identifier": "x"}, {"identifier": "y"}),
])
def test_machines_unequal(kw_a, kw_b):
    assert build() == build()
    a, b = build(**kw_a), build(**kw_b)
    assert (a == b) is False and (b == a) is False


@pytest.mark.parametrize("sub_a, sub_b, equal", [
    (lambda: zc.StateMachine({0: [(Leaf(), 1)]}, identifier="same"),
     lambda: zc.StateMachine(end_states=[42], identifier="same"), True),   # compared by name only
    (Leaf, Leaf, True),
    (Leaf, OtherLeaf, False),
    (Leaf, zc.StateMachine, False),
    (Leaf, lambda: zc.StateMachine(identifier="Leaf"), True),              # class name as fallback
])
def test_sub_machines_compared_by_name(sub_a, sub_b, equal):
    ma, mb = zc.StateMachine({0: [(sub_a(), 1)]}), zc.StateMachine({0: [(sub_b(), 1)]})
    assert (ma == mb) is equal


def test_graph_comparison_is_one_directional_and_uses_get_edges():
    sub = zc.StateMachine(identifier="s")
    a = zc.StateMachine({0: [(sub, 1)], 7: []})
    b = zc.StateMachine({0: [(sub, 1)], 1: [(sub, 2)]})
    assert a == b and not (b == a)

    class Edgy(zc.StateMachine):
        def get_edges(self, state):
            return [(zc.StateMachine(identifier="virt"), 1)]

    assert zc.StateMachine({0: [(zc.StateMachine(identifier="virt"), 1)]}) == Edgy()


@pytest.mark.parametrize("make", [zc.StateMachine, lambda: zc.Stepper(zc.StateMachine())])
def test_comparison_with_other_types(make):
    obj = make()
    assert obj.__eq__(None) is NotImplemented and obj.__eq__(zc.StateMachine) is NotImplemented
    assert (obj == None) is False and obj in [None, obj] and obj != 1  # noqa: E711


@pytest.mark.parametrize("name, va, vb, equal", [
    ("current_state", 1, "x", True),
    ("_raw_value", "a", None, True),
    ("remaining_input", "a", "b", True),
    ("target_state", 1, None, False),
    ("target_state", 1, "1", False),
    ("consumed_character_count", 3, 5, False),
])
def test_stepper_equality_terms(name, va, vb, equal):
    m = zc.StateMachine(identifier="m")
    a, b = zc.Stepper(m), zc.Stepper(m)
    setattr(a, name, va)
    setattr(b, name, vb)
    a.history = [zc.Stepper(m)]           # history never counts
    assert (a == b) is equal and (b == a) is equal


def test_stepper_equality_of_sub_steppers_and_machines():
    m = zc.StateMachine(identifier="m")
    a, b = zc.Stepper(m), zc.Stepper(m)
    a.sub_stepper = zc.Stepper(m)
    assert not (a == b) and not (b == a)
    b.sub_stepper = zc.Stepper(m)
    assert a == b
    b.sub_stepper.consumed_character_count = 1
    assert not (a == b)
    assert zc.Stepper(m) == zc.Stepper(zc.StateMachine(identifier="m"))
    assert not (zc.Stepper(m) == zc.Stepper(zc.StateMachine(identifier="other")))
