"""StateMachine fields, properties and structural equality."""
import pytest

import zel_core as zc


class Leaf(zc.StateMachine):
    pass


class OtherLeaf(zc.StateMachine):
    pass


def test_defaults():
    m = zc.StateMachine()
    assert m.state_graph == {}
    assert m.start_state == 0 and type(m.start_state) is int
    assert m.end_states == ["$"]
    assert (m.is_optional, m.is_case_sensitive, m.identifier) == (False, True, None)


def test_graph_round_trip_keeps_keys_edges_and_order():
    a, b = zc.StateMachine(identifier="a"), zc.StateMachine(identifier="b")
    m = zc.StateMachine({1: [(a, 2), (b, "$")], "1": [(b, 1)], 2: []})
    g = m.state_graph
    assert set(g) == {1, "1", 2}
    assert [(e[0].identifier, e[1]) for e in g[1]] == [("a", 2), ("b", "$")]
    assert [(e[0].identifier, e[1]) for e in g["1"]] == [("b", 1)]
    assert g[2] == []
    assert all(isinstance(e, tuple) for e in g[1])


def test_graph_accepts_generic_mapping_and_sequences():
    import types
    a = zc.StateMachine()
    m = zc.StateMachine(types.MappingProxyType({0: ((a, 1),)}))
    assert m.state_graph[0][0][0] is a


def test_sub_machine_identity_preserved():
    sub, leaf = zc.StateMachine(), Leaf()
    m = zc.StateMachine({0: [(sub, 1), (leaf, 2)], 1: [(sub, 2)]})
    g = m.state_graph
    assert g[0][0][0] is sub and g[1][0][0] is sub and g[0][1][0] is leaf
    assert m.state_graph[0][1][0] is leaf


@pytest.mark.parametrize("name, value, mutate", [
    ("state_graph", None, lambda g: g.setdefault(9, [])),
    ("state_graph", None, lambda g: g[0].append((zc.StateMachine(), 5))),
    ("end_states", None, lambda e: e.append("x")),
    ("end_states", None, lambda e: e.clear()),
])
def test_reads_are_copies(name, value, mutate):
    m = zc.StateMachine({0: [(zc.StateMachine(), 1)]})
    before = getattr(m, name)
    got = getattr(m, name)
    mutate(got)
    assert getattr(m, name) == before


def test_input_containers_are_copied():
    graph, ends = {0: []}, ["a"]
    m = zc.StateMachine(graph, end_states=ends)
    graph[1] = []
    ends.append("b")
    assert set(m.state_graph) == {0} and m.end_states == ["a"]


def test_property_writes_replace_fields():
    m = zc.StateMachine(identifier="x")
    sub = zc.StateMachine()
    m.state_graph = {"s": [(sub, "t")]}
    m.start_state = "s"
    m.end_states = ("t", 3)
    m.is_optional, m.is_case_sensitive = True, False
    m.identifier = None
    assert list(m.state_graph) == ["s"] and m.state_graph["s"][0][0] is sub
    assert (m.start_state, m.end_states) == ("s", ["t", 3])
    assert (m.is_optional, m.is_case_sensitive, m.identifier) == (True, False, None)
    m.identifier = "y"
    assert m.identifier == "y"


@pytest.mark.parametrize("ends", [["b", "a", "b"], [1, "1", 1], []])
def test_end_states_order_and_duplicates_kept(ends):
    assert zc.StateMachine(end_states=ends).end_states == ends


@pytest.mark.parametrize("bad_graph", [
    {0: [(None, 1)]},
    {0: [("m", 1)]},
    {0: [(zc.StateMachine(),)]},
    {0: [(zc.StateMachine(), 1.5)]},
    {1.5: []},
    {0: "ab"},
])
def test_bad_graph_rejected(bad_graph):
    with pytest.raises(TypeError):
        zc.StateMachine(bad_graph)
    m = zc.StateMachine({0: []})
    with pytest.raises(TypeError):
        m.state_graph = bad_graph
    assert m.state_graph == {0: []}


def test_self_referencing_graph():
    m = zc.StateMachine()
    m.state_graph = {0: [(m, 0)]}
    assert m.state_graph[0][0][0] is m
    assert m == m


# ---- equality ----------------------------------------------------------

def build(first=("a", 1), second=("b", 2), **kw):
    return zc.StateMachine({0: [(zc.StateMachine(identifier=first[0]), first[1]),
                                (zc.StateMachine(identifier=second[0]), second[1])]}, **kw)


def test_equal_when_built_alike():
    assert build() == build()
    assert build().__eq__(build()) is True


@pytest.mark.parametrize("other", [
    build(first=("b", 2), second=("a", 1)),          # edge order swapped
    build(first=("z", 1)),                           # different sub-machine name
    build(first=("a", "1")),                         # int vs str target
    build(start_state=1),
    build(end_states=["$", "$"]),
    build(is_optional=True),
    build(is_case_sensitive=False),
    build(identifier="named"),
    zc.StateMachine({0: [(zc.StateMachine(identifier="a"), 1)]}),  # fewer edges
])
def test_unequal(other):
    assert (build() == other) is False
    assert (other == build()) is False


def test_end_states_order_matters():
    assert zc.StateMachine(end_states=[1, 2]) != zc.StateMachine(end_states=[2, 1])


def test_identifiers_compared():
    assert zc.StateMachine(identifier="x") == zc.StateMachine(identifier="x")
    assert zc.StateMachine(identifier="x") != zc.StateMachine(identifier="y")


def test_sub_machines_compared_by_name_only():
    inner1 = zc.StateMachine({0: [(zc.StateMachine(), 1)]}, identifier="same")
    inner2 = zc.StateMachine(end_states=[42], identifier="same")
    assert zc.StateMachine({0: [(inner1, 1)]}) == zc.StateMachine({0: [(inner2, 1)]})


@pytest.mark.parametrize("sub_a, sub_b, equal", [
    (zc.StateMachine, zc.StateMachine, True),
    (Leaf, Leaf, True),
    (Leaf, OtherLeaf, False),
    (Leaf, zc.StateMachine, False),
])
def test_unnamed_sub_machines_use_class_name(sub_a, sub_b, equal):
    ma, mb = zc.StateMachine({0: [(sub_a(), 1)]}), zc.StateMachine({0: [(sub_b(), 1)]})
    assert (ma == mb) is equal


def test_identifier_matches_class_name_of_unnamed_sub():
    named = zc.StateMachine({0: [(zc.StateMachine(identifier="Leaf"), 1)]})
    unnamed = zc.StateMachine({0: [(Leaf(), 1)]})
    assert named == unnamed


def test_subset_graph_is_one_directional():
    sub = zc.StateMachine(identifier="s")
    a = zc.StateMachine({0: [(sub, 1)]})
    b = zc.StateMachine({0: [(sub, 1)], 1: [(sub, 2)]})
    assert a == b
    assert not (b == a)


def test_empty_edge_list_matches_missing_state():
    a = zc.StateMachine({0: [], 5: []})
    b = zc.StateMachine()
    assert a == b and b == a


def test_subclass_get_edges_used_in_equality():
    class Edgy(zc.StateMachine):
        def get_edges(self, state):
            return [(zc.StateMachine(identifier="virt"), 1)]

    plain = zc.StateMachine({0: [(zc.StateMachine(identifier="virt"), 1)]})
    assert plain == Edgy()


@pytest.mark.parametrize("other", [None, 1, "m", object()])
def test_eq_with_non_machine_raises(other):
    with pytest.raises(TypeError):
        zc.StateMachine().__eq__(other)
    with pytest.raises(TypeError):
        zc.StateMachine() == other
