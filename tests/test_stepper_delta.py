"""StepperDelta: the order of deltas and choose_best_path."""

import pytest
import zel_core as z

D = z.StepperDelta
BARE = z.StateMachine()  # start state 0, end states ["$"]


def st(accepted=False, count=0):
    """A plain stepper, accepted when it stands in "$"; `count` tells steppers apart."""
    s = z.Stepper(BARE, "$" if accepted else 0)
    s.consumed_character_count = count
    return s


VOCAB = z.TrieMap().insert_all([("a", 1), ("ab", 2), ("abc", 3), ("x", 7)])


@pytest.mark.parametrize("healed, accepted, attractive", [
    (False, False, True), (False, True, True), (True, True, True), (True, False, False),
])
def test_is_attractive_path(healed, accepted, attractive):
    assert D(st(accepted), "a", healed).is_attractive_path() is attractive


@pytest.mark.parametrize("same_object", [True, False])
@pytest.mark.parametrize("low, high", [("a", "b"), ("a", "ab"), ("", "a"), ("z", "é"), ("ab", "b")])
def test_equal_steppers_order_by_token(same_object, low, high):
    s = st(count=2)
    t = s if same_object else st(count=2)
    # healing only counts when the steppers differ
    assert D(s, low, True) < D(t, high, False)
    assert not D(t, high, False) < D(s, low, True)


def test_order_of_different_steppers_unhealed_first_then_total():
    s = st(count=1)
    for a, b in [(D(s, "a", False), D(s, "a", True)), (D(st(count=1), "a", False), D(s, "a", False))]:
        assert not a < b and not b < a  # equal steppers, equal tokens: equivalent
    for tok_unhealed, tok_healed in [("zzz", "a"), ("a", "zzz"), ("a", "a")]:
        unhealed, healed = D(st(count=1), tok_unhealed, False), D(st(count=2), tok_healed, True)
        assert unhealed < healed and not healed < unhealed
    a, b = D(st(count=1), "a", False), D(st(count=2), "a", False)
    assert (a < b) != (b < a)


def best(deltas, vocab=VOCAB, multi=None):
    return D.choose_best_path(deltas, vocab, multi)


@pytest.mark.parametrize("same_stepper", [True, False])
def test_longer_token_wins(same_stepper):
    s1 = st(count=1)
    s2 = s1 if same_stepper else st(count=2)
    s3 = st(count=3)
    ids, steppers = best([D(s1, "ab", False), D(s2, "abc", False), D(s3, "a", False)])
    assert ids == [3]
    assert len(steppers) == 1 and steppers[0] is s2


@pytest.mark.parametrize("winner, loser, token", [
    # accepted beats unaccepted, even healed and shorter
    (("a", True, True), ("abc", False, False), "a"),
    (("abc", True, True), ("a", False, False), "abc"),
    # both accepted: unhealed wins whatever the lengths
    (("a", True, False), ("abc", True, True), "a"),
    # neither accepted: unhealed wins over a longer healed one
    (("a", False, False), ("abc", False, True), "a"),
])
def test_ranking(winner, loser, token):
    (wt, wa, wh), (lt, la, lh) = winner, loser
    w, l = st(wa, count=1), st(la, count=2)
    for order in ([D(w, wt, wh), D(l, lt, lh)], [D(l, lt, lh), D(w, wt, wh)]):
        ids, steppers = best(order)
        assert ids == VOCAB.get(token)
        assert len(steppers) == 1 and steppers[0] is w


def test_same_token_keeps_every_stepper_in_set_order():
    acc, unacc, other = st(True, 1), st(False, 2), st(False, 3)
    deltas = [D(acc, "ab", True), D(unacc, "ab", False), D(other, "a", True)]
    ids, steppers = best(deltas)
    assert ids == [2]
    expected = [d.stepper for d in sorted(deltas[:2])]
    assert len(steppers) == 2 and all(a is b for a, b in zip(steppers, expected))


def test_equivalent_deltas_keep_first():
    first, second = st(count=1), st(count=1)  # structurally equal and unordered
    ids, steppers = best([D(first, "x", False), D(second, "x", False)])
    assert ids == [7] and len(steppers) == 1 and steppers[0] is first


@pytest.mark.parametrize("multi, ids", [
    (None, [7]), ({}, [7]), ({7: [7, 8]}, [7, 8]), ({7: [9]}, [9]), ({7: []}, []),
    ({3: [1, 2]}, [7]),
])
def test_vocabulary_and_multi_token_mapping(multi, ids):
    s = st()
    assert best([D(s, "x", False)], multi=multi) == (ids, [s])


def test_missing_key_raises_index_error():
    with pytest.raises(IndexError, match=r"^Couldn't find key\.(\n|$)"):
        best([D(st(), "nope", False), D(st(count=1), "a", False)])


@pytest.mark.parametrize("others", [[], [("abc", False, False)]])
def test_no_deltas_or_an_empty_winning_token_give_empty_lists(others):
    assert best(set(), z.TrieMap()) == ([], [])
    deltas = [D(st(True), "", False)] + [D(st(a, 5), t, h) for t, a, h in others]
    assert best(deltas, z.TrieMap()) == ([], [])


def test_accept_override_exception_propagates():
    class Broken(z.Stepper):
        def has_reached_accept_state(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        best([D(Broken(BARE), "a", False)])
