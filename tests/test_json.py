"""The JSON kit: acceptance against json.loads, leaf continuations and values, and documents
decoded through both loops, whose emitted ids spell what every Stepper consumed, and parse."""

import json
import random
import re

import numpy as np
import pytest
import zel_core as z
from zel import json_grammar as jg
from zel.decoding import generate, generate_by_consuming
from zel.leaves import CharacterClass, Literal
from zel.models import FrequencyModel, make_random_sampler
from zel.vocabularies import synthetic_vocabulary

from frontend_kit import chunks, live

MAX_STEPPERS = 8  # measured: 7, right after "[" (white space, "]" and five kinds of value)


def walk(grammar, pieces):  # (accepted steppers, most steppers alive at once)
    steppers = grammar.get_steppers()
    most = len(steppers)
    for piece in pieces:
        steppers = z.StateMachine.advance_all_basic(steppers, piece)
        most = max(most, len(steppers))
    return [s for s in steppers if s.has_reached_accept_state()], most


def reference(text):
    """Whether text is one JSON object as json.loads sees it (no NaN/Infinity), spaced by runs of 3 at most."""
    try:
        loaded = json.loads(text, parse_constant=lambda name: 1 / 0)
    except (ValueError, ZeroDivisionError):
        return False
    return isinstance(loaded, dict) and not re.search(r"\s{4}", text)


VALID = [
    "{}", ' {"a": 1} ', '\n{\t"a"\r:\n[ ]\n}\n', '{"": ""}', '{"a":{},"b":[],"c":[[]]}', "{   }", "   {}   ",
    '{"k": [true, false, null, 0, -0, 1.5, -12.25e-3, 1E+2, 2E-1, 7e9, 10]}', '{"a":1 \n\t,"b":2}',
    '{"s": "\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\uD83D\\uDE00 é 日本 😀"}',
    '{"a": {"b": {"c": {"d": [1, {"e": "f"}]}}}}', '{"dup": 1, "dup": 2}', '{"lone": "\\ud800"}',
]
INVALID = [
    "", "{", '{"a": 1,}', '{"a": [1, 2,]}', '{,}', '{"a": 01}', '{"a": -}', '{"a": 1.}', "{    }", "    {}",
    '{"a": .5}', '{"a": 1e}', '{"a": +1}', '{"a": 0x1}', '{"a": "\\x"}', '{"a": "\\u12G4"}', '{"a": 1 "b": 2}',
    '{"a": "\\U0041"}', '{"a": "abc}', '{"a": "line\nbreak"}', '{"a": "tab\tin"}', '{"a":1 \n\t ,"b":2}',
    '{"a": "nul\x00"}', '{"a": 1', '1', '"a"', '[1]', 'true', 'null', '{"a" 1}', "{'a': 1}", '{"a": [1 2]}',
    '{"a": NaN}', '{"a": Infinity}', '{"a": TRUE}', '{"a": nul}', '{"a": 1}{}', '{a: 1}', '{"a": 1} x',
    '{"a": 1}/**/',
]


@pytest.mark.parametrize("text", VALID + INVALID)
def test_acceptance_matches_json_loads(text):
    grammar = jg.json_object_grammar(max_whitespace=3)
    expected = reference(text)
    assert expected == (text in VALID)
    for pieces in (list(text), [text], chunks(text, 0), chunks(text, 1)):
        accepted, most = walk(grammar, pieces)
        assert bool(accepted) == expected, pieces
        assert most <= MAX_STEPPERS
        if accepted:  # the native parser refuses lone surrogates: raw text then
            wanted = text if "ud800" in text else json.loads(text)
            assert repr(accepted[0].get_current_value()) == repr(wanted)  # 1.0 is not 1


def test_random_documents_are_accepted_with_their_values():
    rng = random.Random(2024)
    grammar = jg.json_object_grammar()
    documents = [jg.random_document(rng) for _ in range(200)]
    for number, text in enumerate(documents):
        accepted, most = walk(grammar, list(text) if number % 2 else chunks(text, number))
        assert accepted and most <= MAX_STEPPERS, text
        assert accepted[0].get_current_value() == json.loads(text), text
    every = "".join(documents)
    constructs = [r'\\"', r"\\\\", r"\\/", r"\\b", r"\\f", r"\\n", r"\\r", r"\\t", r"\\u[0-9a-fA-F]{4}",
                  r"\\ud83d\\ude00", r"\[\s*\[", r"\{\s*\}", r"\[\s*\]", r"[:\[,]\s*\{", r"-\d",
                  r"\d[eE]-\d", r"\d[eE]\+", r"\d\.\d", "true", "false", "null", "😀", r"\n"]
    assert [c for c in constructs if not re.search(c, every)] == []


UNIVERSE = [chr(c) for c in range(0x7F)] + ["é", "😀", "\u2028"]


@pytest.mark.parametrize("prefix", ['"', '"\\n', '"\\u00e9', '"😀'])
def test_string_body_refuses_only_control_characters(prefix):
    [stepper] = jg.StringMachine().get_steppers()
    for character in prefix:
        [stepper] = stepper.consume(character)
    assert stepper.get_valid_continuations() == [] and not stepper.accepts_any_token()
    refused = [c for c in UNIVERSE if not stepper.consume(c)]
    assert [c for c in UNIVERSE if not stepper.should_start_step(c)] == refused
    assert refused == stepper.get_invalid_continuations() == [chr(c) for c in range(0x20)]
    [closed] = stepper.consume('"x')
    assert closed.remaining_input == "x" and closed.has_reached_accept_state()


def test_document_value_has_sorted_keys_and_unfinished_is_raw():
    [done], _ = walk(jg.json_object_grammar(), ['{"b": 1, "a": [2]', "}"])
    assert list(done.get_current_value().items()) == [("a", [2]), ("b", 1)]
    assert {s.get_current_value() for s in live(jg.json_object_grammar(), ['{"b": [1'])} == {'{"b": [1'}


def test_recursive_grammar_prints():  # collecting such cycles: test_lifetime.py
    grammar = jg.json_object_grammar()
    value = grammar.state_graph[1][0][0].state_graph[6][0][0]
    assert value.object_machine.state_graph[6][0][0] is value
    assert len(repr(grammar) + repr(value)) < 5000 and "ObjectMachine" in repr(value.object_machine)


@pytest.mark.parametrize("words", [(), ("",), ("null", "nan")])
def test_keyword_machine_refuses_ambiguous_words(words):
    with pytest.raises(ValueError):
        jg.KeywordMachine(words)


def checking(engine, emitted):
    """An on_step callback: the ids emitted so far spell the text every live Stepper consumed."""
    texts = engine.reverse_vocabulary

    def check(ids):
        emitted.extend(ids)
        text = "".join(texts[i] for i in emitted)
        assert engine.steppers and [s.get_raw_value() for s in engine.steppers] == [text] * len(engine.steppers)
    return check


@pytest.fixture(scope="module")
def json_decoding():
    vocabulary = synthetic_vocabulary(3000, seed=11)
    end = vocabulary.size  # an end token past the vocabulary's ids
    engine = z.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode, control_tokens=[end])
    engine.state_machine = jg.json_object_grammar(max_whitespace=2)
    model = FrequencyModel.from_texts(vocabulary, seed=2, unigram_weight=vocabulary.size / 10)
    return vocabulary, engine, model, end


@pytest.mark.parametrize("loop, dtype, documents", [
    (generate, np.float32, 20), (generate, np.float16, 10), (generate_by_consuming, np.float32, 20),
])
def test_decoded_json_documents_spell_what_was_consumed_and_parse(json_decoding, loop, dtype, documents):
    vocabulary, engine, model, end = json_decoding

    def scores(ids):  # the end token as likely as the likeliest other
        row = model.scores(ids).astype(dtype)
        return np.concatenate([row, row.max(axis=1, keepdims=True)], axis=1)

    finished = 0
    for seed in range(documents):  # odd seeds may end with the end token
        result = loop(engine, scores, make_random_sampler(seed, temperature=0.7), max_tokens=150,
                      end_tokens=[end] * (seed % 2), on_step=checking(engine, emitted := []))
        assert emitted == result.token_ids == sum(result.steps, [])
        if loop is generate_by_consuming:  # one draw per token, and one for the end
            assert result.draws - len(result.steps) in {0, seed % 2}
        finished += result.accepted
        assert not result.accepted or isinstance(json.loads(vocabulary.decode(result.token_ids)), dict)
    assert finished >= documents // 2


def random_grammar(rng):  # a chain of literals and character classes
    leaves = [Literal(rng.choice(["ab", "b", "ba", "abc", "c", "ca"])) if rng.random() < 0.6
              else CharacterClass(rng.sample("abc", rng.randint(1, 3)), 1, rng.randint(1, 4))
              for _ in range(rng.randint(2, 5))]
    return z.StateMachine({i: [(leaf, i + 1 if i + 1 < len(leaves) else "$")] for i, leaf in enumerate(leaves)})


def test_random_grammars_keep_emitted_and_consumed_text_equal():
    """select_next_tokens on raw scores, after mask_invalid_tokens (which learns multi-token
    sequences), or on raw scores after it: draws heal, sequences apply, and both."""
    rng = random.Random(5)
    steps = 0
    for round_ in range(60):
        keys = sorted({"".join(rng.choices("abc", k=rng.randint(1, 4))) for _ in range(rng.randint(3, 25))}
                      | {"a", "b", "c"})
        engine = z.Engine({f"<{i}>": i for i in range(len(keys))}, lambda s: [],
                          lambda ids: "".join(keys[i] for i in ids), multi_token_sampling=rng.random() < 0.7)
        engine.state_machine = random_grammar(rng)
        engine.reset()
        noise, sampler = np.random.default_rng(round_), make_random_sampler(round_)
        check = checking(engine, emitted := [])
        while len(emitted) < 30 and not engine.has_reached_accept_state:
            scores = noise.standard_normal((1, len(keys))).astype(np.float32)
            if round_ % 3:  # learns sequences; the draws of every third round may heal
                engine.mask_invalid_tokens(scores if round_ % 3 == 1 else scores.copy())
            check(engine.select_next_tokens(scores, sampler))
        steps += bool(emitted)
    assert steps >= 40
