"""Native lexical leaves (zel_core.leaves): regular expressions against re.fullmatch, pattern errors,
the automaton interface, parity with the Python leaves of zel.leaves, grammars mixing both kinds."""

import gc
import random
import re
import sys
import weakref

import pytest
import zel_core as z
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from zel import json_grammar as jg
from zel import leaves as python_leaves
from zel_core.leaves import CharacterClass, Dfa, LexicalLeafStepper, Literal, Regex

from frontend_kit import chunks

PROFILE = settings(derandomize=True, database=None, deadline=None, print_blob=False, max_examples=120,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
advance = z.StateMachine.advance_all_basic

ATOMS = ["a", "b", "c", "-", "é", "😀", ".", r"\d", r"\w", r"\s", r"\.", r"\n", r"\x41", r"\u00e9",
         "[ab]", "[^a]", "[a-c]", "[^a-c\\n]", "[-a]", "[]a]", r"[\d.]", "[é-ü]", "{}", "{,x}"]
QUANTIFIERS = ["", "", "", "*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}", "{,2}", "{,}", "*?", "{1,2}?"]
# Counted repetitions of groups can make automata explode; groups take these.
GROUP_QUANTIFIERS = ["", "", "*", "+", "?", "{2}", "??"]
TEXT_ALPHABET = "abc-é😀.1_ \nAüz"


@st.composite
def patterns(draw, depth=2):
    pieces = []
    for _ in range(draw(st.integers(1, 3))):
        if depth > 0 and draw(st.integers(0, 3)) == 0:
            inner = "|".join(draw(patterns(depth - 1)) for _ in range(draw(st.integers(1, 3))))
            group = draw(st.sampled_from(["(", "(?:"])) + inner + ")"
            pieces.append(group + draw(st.sampled_from(GROUP_QUANTIFIERS)))
        else:
            pieces.append(draw(st.sampled_from(ATOMS)) + draw(st.sampled_from(QUANTIFIERS)))
    return "".join(pieces)


def compiled(pattern, **options):
    try:
        return Regex(pattern, **options)
    except ValueError as error:  # a few generated patterns blow up when made deterministic
        assume("automaton states" not in str(error))
        raise


def leaf_accepts(leaf, pieces):
    [stepper] = leaf.get_steppers()
    for piece in pieces:
        successors = stepper.consume(piece)
        assert stepper.should_start_step(piece) == bool(successors)
        if not successors or successors[0].remaining_input is not None:
            return False
        [stepper] = successors
    return stepper.has_reached_accept_state()


def check_token(leaf, whole, text):
    """The longest completable prefix is taken (whole-token leaves take all or refuse); continuations too."""
    dfa = leaf.dfa
    state, taken = dfa.walk(dfa.start, text)
    [stepper] = leaf.get_steppers()
    successors = stepper.consume(text)
    assert len(successors) == bool(taken)
    if taken:
        [stepper] = successors
        assert (stepper.get_raw_value(), stepper.remaining_input) == (text[:taken], text[taken:] or None)
        assert (stepper.dfa_state, stepper.has_reached_accept_state(), stepper.can_accept_more_input()) == \
            (state, dfa.is_accepting(state), dfa.can_continue(state))
        took_whole = bool(whole.get_steppers()[0].consume(text))
        assert took_whole == (taken == len(text) or not dfa.can_continue(state))
    if stepper.remaining_input is None:
        for continuation in stepper.get_valid_continuations():
            assert stepper.consume(continuation)[0].remaining_input is None
        assert not any(stepper.should_start_step(c) for c in stepper.get_invalid_continuations())


@PROFILE
@given(pattern=patterns(), data=st.data())
def test_regex_leaf_matches_like_fullmatch(pattern, data):
    reference = re.compile(pattern, re.ASCII)
    leaf, whole = compiled(pattern), compiled(pattern, whole_tokens=True)
    texts = [data.draw(st.text(TEXT_ALPHABET, max_size=8)),
             data.draw(st.from_regex(reference, fullmatch=True).filter(lambda t: len(t) < 12))]
    for text in texts:
        expected = reference.fullmatch(text) is not None
        for pieces in (list(text), chunks(text, pattern), [text] if text else []):
            assert leaf_accepts(leaf, pieces) == leaf_accepts(whole, pieces) == expected, (pattern, pieces)
        check_token(leaf, whole, text)


@pytest.mark.parametrize("pattern, text", [
    (".", "\n"), ("a.c", "abc"), ("[^a]", "\n"), (r"\w+", "é_1"), (r"\s", "\n"), (r"\d", "١"),
    ("a{1,3}", "aaaa"), ("(ab){0,2}", "ababab"), ("(ab){2,}", "ababab"),
])
def test_sets_and_counts_match_like_fullmatch(pattern, text):
    expected = re.fullmatch(pattern, text, re.ASCII) is not None
    assert leaf_accepts(Regex(pattern), list(text)) == leaf_accepts(Regex(pattern), [text]) == expected


@pytest.mark.parametrize("pattern, position", [
    ("a(b", 1), ("ab)", 2), ("*a", 0), ("a|+", 2), ("a**", 2), ("a{2}{3}", 4), ("[ab", 0),
    ("x[z-a]", 2), (r"\q", 0), (r"a\x4", 1), ("^a", 0), ("a$", 1), ("(?P<n>a)", 0),
    ("(?=a)", 0), (r"a\b", 1), (r"(a)\1", 3), ("{,}", 0), ("a{3,2}", 1), ("a{10001}", 1),
    ("a*+", 2), (r"[\d-z]", 1), ("\\", 0),
])
def test_pattern_errors_name_the_position(pattern, position):
    with pytest.raises(ValueError, match=f"at position {position}$"):
        Regex(pattern)


@pytest.mark.parametrize("make", [  # deep nesting is refused, not overflowed
    lambda: Literal(""), lambda: CharacterClass(["ab"]), lambda: CharacterClass("a", 1, 10001),
    lambda: Regex("(" * 100_000 + "a" + ")" * 100_000)])
def test_bad_leaf_arguments(make):
    with pytest.raises(ValueError):
        make()


def test_automaton_states_belong_to_their_pattern():
    leaf = Regex("ab|ac")
    after_a = leaf.dfa.next(leaf.dfa.start, "a")
    assert leaf.get_new_stepper(after_a).consume("c")[0].has_reached_accept_state()
    assert Regex("ab|ac").dfa.identity != leaf.dfa.identity
    foreign = leaf.get_new_stepper("x")  # not a state: refuses everything
    assert foreign.dfa_state == Dfa.dead and foreign.consume("b") == []
    [stepper] = Regex("[^\\x00-\\U0010ffff]").get_steppers()  # matches nothing
    assert not stepper.should_start_step("a") and not stepper.can_accept_more_input()
    assert Regex("(" * 150 + "a" + ")" * 150).get_steppers()[0].consume("a")  # deep but allowed


def observe(stepper, token):
    return (stepper.should_start_step(token), sorted(stepper.get_valid_continuations()),
            [(s.get_raw_value(), s.remaining_input, s.consumed_character_count, s.has_reached_accept_state(),
              s.can_accept_more_input(), s.is_within_value(), s.get_current_value())
             for s in stepper.consume(token)])


# A maximum below the minimum accepts nothing; no maximum, any length.
@pytest.mark.parametrize("kind, arguments", [("Literal", ("abc",)), ("Literal", ("é😀",))] + [
    ("CharacterClass", arguments)
    for arguments in [("ab", 2, 3), ("xyz", 0, None), ("a1", 1, 5), ("a", 0, 0), ("a", 2, 1)]])
def test_native_leaves_answer_as_the_python_leaves(kind, arguments):
    leaves = [getattr(module, kind)(*arguments) for module in (python_leaves, z.leaves)]
    rng = random.Random(5)
    tokens = ["", "a", "ab", "abc", "abcd", "b", "x", "aab", "é", "é😀", "😀", "1a", "zyx", "aaaaaa"]
    for _ in range(40):
        steppers = [leaf.get_steppers()[0] for leaf in leaves]
        for _ in range(3):
            token = rng.choice(tokens)
            python, native = [observe(s, token) for s in steppers]
            assert native == python, token
            if not python[2] or python[2][0][1] is not None:
                break
            steppers = [s.consume(token)[0] for s in steppers]


def test_value_function_runs_for_accepted_leaves_only_and_its_errors_propagate():
    [stepper] = Regex(r"\d+", value=int).get_steppers()
    assert stepper.get_current_value() is None
    assert stepper.consume("42")[0].get_current_value() == 42
    [open_string] = Regex('"[a-z]*"', value=len).get_steppers()[0].consume('"ab')
    assert open_string.get_current_value() == '"ab'  # not accepted: the raw text
    [failing] = Regex("a", value=lambda text: 1 / 0).get_steppers()[0].consume("a")
    with pytest.raises(ZeroDivisionError):
        failing.get_current_value()


def test_leaf_cycles_through_value_functions_are_collected():
    gc.disable()
    try:
        holder = {}
        holder["leaf"] = leaf = Regex("a+", value=lambda text: holder)
        [stepper] = leaf.get_steppers()[0].consume("aa")
        refs = [weakref.ref(leaf), weakref.ref(stepper)]
        del leaf, stepper, holder
    finally:
        gc.enable()
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_leaves_subclass_and_render():
    class Word(Regex):
        def __init__(self):
            super().__init__("[a-z]+\n?", identifier=None)

    [stepper] = Word().get_steppers()[0].consume("ab")
    assert str(stepper).endswith("Word.Stepper (State: %d)" % stepper.dfa_state)
    assert stepper.clone() == stepper and stepper.clone().dfa_state == stepper.dfa_state
    with pytest.raises(TypeError):
        type("Sub", (LexicalLeafStepper,), {})
    with pytest.raises(TypeError, match="get_new_stepper"):  # what the leaf answers natively
        type("Custom", (Regex,), {"get_new_stepper": lambda self, state=None: z.Stepper(self)})("a")


def python_calls_while(action):
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(frame.f_code.co_name) if event == "call" else None)
    try:
        action()
    finally:
        sys.setprofile(None)
    return calls[1:]  # the first is action itself


def test_advancing_native_leaves_runs_no_python():
    walked = [jg.json_object_grammar().get_steppers()]
    pieces = ['{"a"', ': [1.5', ', "x\\n', '"', ', true]', ' }']
    assert python_calls_while(lambda: [walked.append(advance(walked[-1], p)) for p in pieces]) == []
    assert any(s.has_reached_accept_state() for s in walked[-1])
    # The same walk over a Python leaf runs its methods.
    python_leaf = z.StateMachine({0: [(python_leaves.Literal("{"), "$")]}).get_steppers()
    assert "consume" in python_calls_while(lambda: advance(python_leaf, "{"))
