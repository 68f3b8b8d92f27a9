"""Engine.break_into_tokens: each vocabulary key that starts the text,
followed by the greedy longest-match spelling of the rest."""

import json

import pytest
from engine_kit import make_engine, run_isolated


@pytest.mark.parametrize("keys, text, expected", [
    (["a", "ab", "b", "c"], "abc", {("a", "b", "c"), ("ab", "c")}),
    (["a", "ab", "c"], "abc", {("ab", "c")}),  # after "a" no key starts "bc"
    (["a", "b", "bc", "cd"], "abcd", set()),  # greedy "bc" leaves "d", although a, b, cd spells it
    (["a", "ab", "abc"], "abc", {("abc",)}),  # the text itself is a key; no key spells "bc" or "c"
    (["ab", "abc", "c", "cab"], "abcab", {("ab", "cab"), ("abc", "ab")}),
    (["a", "b"], "", set()),
    (["a", "b"], "xab", set()),
    (["a", "aa"], "aaaaa", {("a", "aa", "aa"), ("aa", "aa", "a")}),
])
def test_spellings(keys, text, expected):
    e, _ = make_engine(keys)
    assert e.break_into_tokens(text) == expected


def test_result_is_a_set_of_str_tuples():
    e, _ = make_engine(["a", "b", "ab"])
    result = e.break_into_tokens("ab")
    assert type(result) is set and result == {("a", "b"), ("ab",)}
    assert all(type(t) is tuple and all(type(p) is str for p in t) for t in result)


def test_tokens_with_equal_text_give_one_spelling():
    e, _ = make_engine(["a", "b", "a", "b"])
    assert e.break_into_tokens("ab") == {("a", "b")}


@pytest.mark.parametrize("keys, text, expected", [
    (["é", "éa", "a"], "éa", {("é", "a"), ("éa",)}),
    (["€", "a€", "a"], "a€€", {("a", "€", "€"), ("a€", "€")}),
    (["é", "è"], "èéè", {("è", "é", "è")}),
    (["\U0001f600", "x"], "x\U0001f600x", {("x", "\U0001f600", "x")}),
])
def test_non_ascii_text(keys, text, expected):
    e, _ = make_engine(keys)
    assert e.break_into_tokens(text) == expected


EMPTY_KEY = """
import json
from engine_kit import make_engine
e, _ = make_engine(["", "a", "b"])
print(json.dumps([sorted(e.break_into_tokens(text)) for text in ["ab", "ac", "a", "c", ""]]))
"""


def test_empty_token_text_terminates():
    # a token that decodes to "" is a key that matches everywhere and consumes nothing
    done = run_isolated(EMPTY_KEY, timeout=30)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[["a", "b"]], [], [["a"]], [], []]
