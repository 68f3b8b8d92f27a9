"""StateMachine.advance_all / advance_all_basic: batch advancing and token healing."""

import pytest
import zel_core as z

advance_all = z.StateMachine.advance_all
advance_all_basic = z.StateMachine.advance_all_basic


class Script(z.StateMachine):
    """Its steppers ignore the token and return one successor per (value, remaining) pair."""

    def __init__(self, *plan):
        super().__init__()
        self.plan = list(plan)

    def get_new_stepper(self, state=None):
        return ScriptStepper(self, state)


class ScriptStepper(z.Stepper):
    def consume(self, token):
        self.state_machine.calls = getattr(self.state_machine, "calls", 0) + 1
        return [self.step(value, rest) for value, rest in self.state_machine.plan]


def scripted(*plan):
    return Script(*plan).get_new_stepper()


def trie(*keys):
    return z.TrieMap().insert_all([(key, i) for i, key in enumerate(keys)])


def summary(deltas):
    return [(d.token, d.was_healed, d.stepper.get_raw_value()) for d in deltas]


def test_no_successors_contribute_nothing():
    assert advance_all([], "abc", trie("a")) == advance_all_basic([], "abc") == []
    result = advance_all([scripted(), scripted(("abc", None)), scripted()], "abc", trie("a"))
    assert summary(result) == [("abc", False, "abc")]


def erased():  # a map that had keys
    t = trie("ab")
    t.erase("ab")
    return t


@pytest.mark.parametrize("value, rest, keys, healing, expected", [
    ("xyz", None, None, True, ("abc", False)),           # all of the token used: not healed
    ("xyz", None, ["abc"], True, ("abc", False)),
    ("ab", "c", ["ab", "abc"], False, None),              # a partial match needs healing
    ("ab", "c", None, True, None),                        # ... and a vocabulary that has keys
    ("ab", "c", [], True, None),
    ("ab", "c", erased(), True, None),
    ("abc", "", ["ab", "abc"], False, None),
    ("ab", "c", ["ab"], True, ("ab", True)),
    ("ab", "c", ["a"], True, ("a", True)),
    ("ab", "c", ["a", "ab", "abc", "abcd"], True, ("ab", True)),  # longest prefix of the matched part
    ("ab", "c", ["", "b", "abc"], True, ("", True)),
    ("ab", "c", ["b", "abc", "x"], True, None),
    ("abc", "", ["abc"], True, ("abc", True)),            # an empty remainder is still partial
    ("abc", "", ["ab", "a"], True, ("ab", True)),
    ("éé", "!", ["é", "éé"], True, ("éé", True)),         # lengths in bytes: the matched part is "éé"
])
def test_healing(value, rest, keys, healing, expected):
    token = "éé!" if value == "éé" else "abc"
    vocab = keys if keys is None or isinstance(keys, z.TrieMap) else trie(*keys)
    result = advance_all([scripted((value, rest))], token, vocab, healing)
    assert [(d.token, d.was_healed) for d in result] == ([expected] if expected else [])
    assert all(d.stepper.remaining_input is None and d.stepper.get_raw_value() == value for d in result)


@pytest.mark.parametrize("rest", ["abcd", "zzzzzzzzzzzzzzzzzzzzzzzz"])
def test_remaining_longer_than_token_is_dropped(rest):
    good = scripted(("a", "bc"))
    result = advance_all([scripted(("", rest)), good], "abc", trie("", "a", "ab"))
    assert summary(result) == [("a", True, "a")]


def test_equivalent_deltas_keep_first_produced():
    # equal steppers (same count, same machine kind) with the same token are equivalent
    first, second = scripted(("xy", None)), scripted(("uv", None))
    assert summary(advance_all([first, second], "ab")) == [("ab", False, "xy")]
    assert summary(advance_all([second, first], "ab")) == [("ab", False, "uv")]
    multi = scripted(("pq", None), ("rs", None))
    assert summary(advance_all([multi], "ab")) == [("ab", False, "pq")]


@pytest.mark.parametrize("reverse", [False, True])
def test_result_sorted_by_delta_order(reverse):
    # equal steppers: token order decides, so healed "a" precedes full "abc"
    healed, full = scripted(("ab", "c")), scripted(("xy", None))
    inputs = [full, healed][::-1 if reverse else 1]
    assert summary(advance_all(inputs, "abc", trie("a"))) == [("a", True, "ab"), ("abc", False, "xy")]
    # different steppers: unhealed first
    healed, full = scripted(("a", "bc")), scripted(("xy", None))
    inputs = [healed, full][::-1 if reverse else 1]
    assert summary(advance_all(inputs, "abc", trie("a"))) == [("abc", False, "xy"), ("a", True, "a")]


def test_basic_matches_advance_all_without_vocab():
    # distinct counts only: unequal steppers are ordered by identity, so mixing in
    # equivalent ones would make the set order depend on addresses
    steppers = [scripted(("a" * n, None), ("b" * n, "c")) for n in range(1, 5)]
    full = advance_all(steppers, "abc", None)
    basic = advance_all_basic(steppers, "abc")
    assert all(isinstance(s, ScriptStepper) and s.remaining_input is None for s in basic)
    assert sorted(s.get_raw_value() for s in basic) == sorted(d.stepper.get_raw_value() for d in full)
    assert len(basic) == 4
    deltas = [z.StepperDelta(s, "abc", False) for s in basic]
    assert all(not deltas[i + 1] < deltas[i] for i in range(len(deltas) - 1))


def test_consume_exception_propagates():
    class Boom(z.Stepper):
        def consume(self, token):
            raise ValueError("bad token " + token)

    ok = scripted(("ab", None))
    with pytest.raises(ValueError, match="^bad token ab$"):
        advance_all([ok, Boom(z.StateMachine())], "ab", trie("a"))
    with pytest.raises(ValueError, match="^bad token ab$"):
        advance_all_basic([Boom(z.StateMachine()), ok], "ab")


def test_a_stepper_list_holding_none_is_refused_before_advancing():
    s = scripted(("ab", None))
    for call in (advance_all, advance_all_basic):
        with pytest.raises(TypeError):
            call([s, None], "ab")
    assert getattr(s.state_machine, "calls", 0) == 0
