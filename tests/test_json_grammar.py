"""JSON leaves and machines: acceptance against json.loads, values, masks,
stepper counts and the recursive grammar's lifetime."""

import gc
import json
import random
import re
import weakref

import pytest
import zel_core as z
from zel import json_grammar as jg

advance = z.StateMachine.advance_all_basic
MAX_STEPPERS = 8  # measured: 7, right after "[" (white space, "]" and five kinds of value)


def walk(grammar, chunks):
    """(accepted steppers after all chunks, most steppers alive at once)."""
    steppers = grammar.get_steppers()
    most = len(steppers)
    for chunk in chunks:
        steppers = advance(steppers, chunk)
        most = max(most, len(steppers))
        if not steppers:
            return [], most
    return [s for s in steppers if s.has_reached_accept_state()], most


def chunked(text, rng):
    pieces, at = [], 0
    while at < len(text):
        size = rng.randint(1, 7)
        pieces.append(text[at:at + size])
        at += size
    return pieces


def reference(text):
    """Whether text is one JSON object, as json.loads sees it (no NaN/Infinity)."""
    def refuse(name):
        raise ValueError(name)
    try:
        return isinstance(json.loads(text, parse_constant=refuse), dict)
    except ValueError:
        return False


VALID = [
    "{}", ' {"a": 1} ', '\n{\t"a"\r:\n[ ]\n}\n', '{"": ""}', '{"a":{},"b":[],"c":[[]]}',
    '{"k": [true, false, null, 0, -0, 1.5, -12.25e-3, 1E+2, 7e9, 10]}',
    '{"s": "\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\uD83D\\uDE00 é 日本 😀"}',
    '{"a": {"b": {"c": {"d": [1, {"e": "f"}]}}}}', '{"dup": 1, "dup": 2}', '{"lone": "\\ud800"}',
]
INVALID = [
    "", "{", '{"a": 1,}', '{"a": [1, 2,]}', '{,}', '{"a": 01}', '{"a": -}', '{"a": 1.}',
    '{"a": .5}', '{"a": 1e}', '{"a": +1}', '{"a": 0x1}', '{"a": "\\x"}', '{"a": "\\u12G4"}',
    '{"a": "\\U0041"}', '{"a": "abc}', '{"a": "line\nbreak"}', '{"a": "tab\tin"}',
    '{"a": "nul\x00"}', '{"a": 1', '1', '"a"', '[1]', 'true', 'null', '{"a" 1}', "{'a': 1}",
    '{"a": NaN}', '{"a": Infinity}', '{"a": TRUE}', '{"a": nul}', '{"a": 1}{}', '{a: 1}',
    '{"a": 1 "b": 2}', '{"a": [1 2]}', '{"a": 1} x', '{"a": 1}/**/',
]


@pytest.mark.parametrize("text", VALID + INVALID)
def test_acceptance_matches_json_loads(text):
    grammar = jg.json_object_grammar()
    rng = random.Random(text)
    expected = reference(text)
    assert expected == (text in VALID)
    for chunks in (list(text), [text], chunked(text, rng), chunked(text, rng)):
        accepted, most = walk(grammar, chunks)
        assert bool(accepted) == expected, chunks
        assert most <= MAX_STEPPERS
        if accepted:  # the native parser refuses lone surrogates: raw text then
            wanted = text if "ud800" in text else json.loads(text)
            assert accepted[0].get_current_value() == wanted


def test_whitespace_runs_are_bounded():
    grammar = jg.json_object_grammar(max_whitespace=3)
    for text, expected in [("{   }", True), ("{    }", False), ('{"a":1 \n\t,"b":2}', True),
                           ('{"a":1 \n\t ,"b":2}', False), ("   {}   ", True), ("    {}", False)]:
        assert bool(walk(grammar, text)[0]) == expected, text
        assert bool(walk(grammar, [text])[0]) == expected, text


def test_random_documents_are_accepted_with_their_values():
    rng = random.Random(2024)
    grammar = jg.json_object_grammar()
    documents = [jg.random_document(rng) for _ in range(200)]
    most = 0
    for number, text in enumerate(documents):
        chunks = list(text) if number % 2 else chunked(text, rng)
        accepted, seen = walk(grammar, chunks)
        most = max(most, seen)
        assert accepted, text
        assert accepted[0].get_current_value() == json.loads(text), text
    assert most <= MAX_STEPPERS
    every = "".join(documents)
    constructs = [r'\\"', r"\\\\", r"\\/", r"\\b", r"\\f", r"\\n", r"\\r", r"\\t", r"\\u[0-9a-fA-F]{4}",
                  r"\\ud83d\\ude00", r"\[\s*\[", r"\{\s*\}", r"\[\s*\]", r"[:\[,]\s*\{", r"-\d",
                  r"\d[eE]-\d", r"\d[eE]\+", r"\d\.\d", "true", "false", "null", "😀", r"\n"]
    assert [c for c in constructs if not re.search(c, every)] == []


UNIVERSE = [chr(c) for c in range(0x7F)] + ["é", "😀", "\u2028"]


def leaf_after(machine, prefix):
    [stepper] = machine.get_steppers()
    for character in prefix:
        [stepper] = [s for s in stepper.consume(character) if s.remaining_input is None]
    return stepper


def takes(stepper, character):
    taken = bool(stepper.consume(character))
    assert stepper.should_start_step(character) == taken, repr(character)
    return taken


@pytest.mark.parametrize("machine, prefixes", [
    (jg.NumberMachine(), ["", "-", "0", "-0", "12", "1.", "1.5", "1e", "1E-", "1e+5"]),
    (jg.StringMachine(), ['', '"\\', '"\\u', '"\\u0', '"\\uAb', '"\\u00e', '"a"']),
    (jg.KeywordMachine(), ["", "t", "fa", "nul", "true"]),
    (jg.WhitespaceMachine(2), ["", " ", "\n\t"]),
    (jg.Punctuation(":"), ["", ":"]),
])
def test_valid_continuations_are_exactly_what_consume_takes(machine, prefixes):
    for prefix in prefixes:
        stepper = leaf_after(machine, prefix)
        valid = stepper.get_valid_continuations()
        starts = {continuation[0] for continuation in valid}
        assert {c for c in UNIVERSE if takes(stepper, c)} == starts, prefix
        assert all(takes(stepper, continuation) for continuation in valid)
        assert not stepper.accepts_any_token()
        assert stepper.can_accept_more_input() == bool(valid) or isinstance(machine, jg.NumberMachine)


@pytest.mark.parametrize("prefix", ['"', '"ab', '"\\n', '"\\u00e9', '"😀'])
def test_string_body_refuses_only_control_characters(prefix):
    stepper = leaf_after(jg.StringMachine(), prefix)
    assert stepper.get_valid_continuations() == [] and not stepper.accepts_any_token()
    refused = [c for c in UNIVERSE if not takes(stepper, c)]
    assert refused == stepper.get_invalid_continuations() == [chr(c) for c in range(0x20)]
    [closed] = stepper.consume('"x')
    assert closed.remaining_input == "x" and closed.has_reached_accept_state()


@pytest.mark.parametrize("machine, text, value", [
    (jg.NumberMachine(), "-0", 0), (jg.NumberMachine(), "120", 120), (jg.NumberMachine(), "1.5e3", 1500.0),
    (jg.NumberMachine(), "2E-1", 0.2), (jg.StringMachine(), '"a\\u00e9\\ud83d\\ude00\\n"', "aé😀\n"),
    (jg.StringMachine(), '"\\ud800"', "\ud800"), (jg.KeywordMachine(), "false", False),
])
def test_leaf_values(machine, text, value):
    stepper = leaf_after(machine, text)
    assert stepper.has_reached_accept_state()
    got = stepper.get_current_value()
    assert type(got) is type(value) and got == value


def test_document_value_has_sorted_keys_and_unfinished_is_raw():
    grammar = jg.json_object_grammar()
    [done], _ = walk(grammar, ['{"b": 1, "a": [2]', "}"])
    assert list(done.get_current_value().items()) == [("a", [2]), ("b", 1)]
    partial = advance(grammar.get_steppers(), '{"b": [1')
    assert {s.get_current_value() for s in partial} == {'{"b": [1'}


def test_recursive_grammar_prints_and_is_collected():
    gc.disable()
    try:
        grammar = jg.json_object_grammar()
        value = grammar.state_graph[1][0][0].state_graph[6][0][0]
        assert isinstance(value, jg.JsonValueMachine)
        assert value.object_machine.state_graph[6][0][0] is value
        text = repr(grammar) + repr(value) + repr(value.object_machine)
        assert len(text) < 5000 and "ObjectMachine" in text
        steppers = advance(grammar.get_steppers(), '{"a": [{"b": "x')
        leaf = steppers[0]
        while leaf.sub_stepper is not None:
            leaf = leaf.sub_stepper
        refs = [weakref.ref(o) for o in (value, value.object_machine, value.array_machine, leaf)]
        del grammar, value, steppers, leaf
    finally:
        gc.enable()
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


@pytest.mark.parametrize("words", [(), ("",), ("null", "nan")])
def test_keyword_machine_refuses_ambiguous_words(words):
    with pytest.raises(ValueError):
        jg.KeywordMachine(words)
