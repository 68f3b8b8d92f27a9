"""StateMachine fields, properties and structural equality."""
import pytest

import zel_core as zc


class Leaf(zc.StateMachine):
    pass


class OtherLeaf(zc.StateMachine):
    pass


def test_defaults():
    m = zc.StateMachine()
    assert (m.state_graph, m.start_state, m.end_states) == ({}, 0, ["$"])
    assert (m.is_optional, m.is_case_sensitive, m.identifier) == (False, True, None)


def test_graph_round_trip_keeps_keys_edge_order_and_identity():
    a, b = zc.StateMachine(identifier="a"), Leaf()
    m = zc.StateMachine({1: [(a, 2), (b, "$")], "1": [(b, 1)], 2: []})
    g = m.state_graph
    assert set(g) == {1, "1", 2} and g[2] == []
    assert [type(e) for e in g[1]] == [tuple, tuple] and [e[1] for e in g[1]] == [2, "$"]
    assert g[1][0][0] is a and g[1][1][0] is b and g["1"][0][0] is b


@pytest.mark.parametrize("name, mutate", [
    ("state_graph", lambda g: g.setdefault(9, [])),
    ("state_graph", lambda g: g[0].append((zc.StateMachine(), 5))),
    ("end_states", lambda e: e.append("x")),
])
def test_reads_are_copies(name, mutate):
    m = zc.StateMachine({0: [(zc.StateMachine(), 1)]})
    before = getattr(m, name)
    mutate(getattr(m, name))
    assert getattr(m, name) == before


def test_property_writes():
    m, sub = zc.StateMachine(identifier="x"), zc.StateMachine()
    m.state_graph = {"s": [(sub, "t")]}
    m.start_state, m.end_states = "s", ("t", 3)
    m.is_optional, m.is_case_sensitive, m.identifier = True, False, None
    assert list(m.state_graph) == ["s"] and m.state_graph["s"][0][0] is sub
    assert (m.start_state, m.end_states) == ("s", ["t", 3])
    assert (m.is_optional, m.is_case_sensitive, m.identifier) == (True, False, None)


@pytest.mark.parametrize("ends", [["b", "a", "b"], [1, "1", 1], []])
def test_end_states_order_and_duplicates_kept(ends):
    assert zc.StateMachine(end_states=ends).end_states == ends


@pytest.mark.parametrize("bad_graph", [
    {0: [(None, 1)]}, {0: [("m", 1)]}, {0: [(zc.StateMachine(),)]}, {1.5: []}, {0: "ab"},
])
def test_bad_graph_rejected(bad_graph):
    with pytest.raises(TypeError):
        zc.StateMachine(bad_graph)
    m = zc.StateMachine({0: []})
    with pytest.raises(TypeError):
        m.state_graph = bad_graph
    assert m.state_graph == {0: []}


def build(first=("a", 1), second=("b", 2), **kw):
    return zc.StateMachine({0: [(zc.StateMachine(identifier=first[0]), first[1]),
                                (zc.StateMachine(identifier=second[0]), second[1])]}, **kw)


def test_equal_when_built_alike():
    assert build().__eq__(build()) is True
    m = zc.StateMachine()
    m.state_graph = {0: [(m, 0)]}
    assert m == m


@pytest.mark.parametrize("kw_a, kw_b", [
    ({}, {"first": ("b", 2), "second": ("a", 1)}),        # edge order swapped
    ({}, {"first": ("z", 1)}),                            # sub-machine name
    ({}, {"first": ("a", "1")}),                          # int vs str target
    ({}, {"start_state": 1}),
    ({}, {"end_states": ["$", "$"]}),
    ({"end_states": [1, 2]}, {"end_states": [2, 1]}),
    ({}, {"is_optional": True}),
    ({}, {"is_case_sensitive": False}),
    ({}, {"identifier": "named"}),
    ({"identifier": "x"}, {"identifier": "y"}),
])
def test_unequal(kw_a, kw_b):
    a, b = build(**kw_a), build(**kw_b)
    assert (a == b) is False and (b == a) is False


def test_fewer_edges_unequal():
    fewer = zc.StateMachine({0: [(zc.StateMachine(identifier="a"), 1)]})
    assert not (build() == fewer) and not (fewer == build())


def test_sub_machines_compared_by_name_only():
    inner1 = zc.StateMachine({0: [(zc.StateMachine(), 1)]}, identifier="same")
    inner2 = zc.StateMachine(end_states=[42], identifier="same")
    assert zc.StateMachine({0: [(inner1, 1)]}) == zc.StateMachine({0: [(inner2, 1)]})


@pytest.mark.parametrize("sub_a, sub_b, equal", [
    (zc.StateMachine, zc.StateMachine, True),
    (Leaf, Leaf, True),
    (Leaf, OtherLeaf, False),
    (Leaf, zc.StateMachine, False),
    (Leaf, lambda: zc.StateMachine(identifier="Leaf"), True),
])
def test_unnamed_sub_machines_use_class_name(sub_a, sub_b, equal):
    ma, mb = zc.StateMachine({0: [(sub_a(), 1)]}), zc.StateMachine({0: [(sub_b(), 1)]})
    assert (ma == mb) is equal


def test_subset_graph_is_one_directional():
    sub = zc.StateMachine(identifier="s")
    a = zc.StateMachine({0: [(sub, 1)], 7: []})
    b = zc.StateMachine({0: [(sub, 1)], 1: [(sub, 2)]})
    assert a == b and not (b == a)


def test_equality_uses_other_machines_get_edges():
    class Edgy(zc.StateMachine):
        def get_edges(self, state):
            return [(zc.StateMachine(identifier="virt"), 1)]

    assert zc.StateMachine({0: [(zc.StateMachine(identifier="virt"), 1)]}) == Edgy()


@pytest.mark.parametrize("other", [None, 1, "m"])
def test_eq_with_non_machine_is_not_implemented(other):
    assert zc.StateMachine().__eq__(other) is NotImplemented
    assert (zc.StateMachine() == other) is False
