"""Properties over generated grammars, texts, vocabularies and token streams
(hypothesis, derandomized and without a database: every run tries the same cases)."""

import faulthandler

import numpy as np
import pytest
import zel_core as z
from engine_kit import make_engine
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from zel.leaves import CharacterClass, Literal
from zel.models import make_random_sampler

PROFILE = settings(derandomize=True, database=None, deadline=None, print_blob=False,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
ALPHABET = "abcde"


def examples(count):
    return settings(PROFILE, max_examples=count)


advance_all, advance_all_basic = z.StateMachine.advance_all, z.StateMachine.advance_all_basic


@st.composite
def grammars(draw):
    """(machine, word): a chain of 1 to 4 slots (a leaf or a choice of two) and a text it accepts.
    No text has two readings; distinct leaf identifiers keep the core from merging leaves."""
    slots, word, barred = [], "", set()
    for _ in range(draw(st.integers(1, 4))):
        free = sorted(set(ALPHABET) - barred)
        if not free:
            break
        firsts = draw(st.lists(st.sampled_from(free), min_size=1, max_size=2, unique=True))
        reserved, choices, classes = set(firsts), [], set()
        for first in firsts:
            identifier = f"leaf{len(slots)}{first}"
            if draw(st.booleans()):
                text = first + draw(st.text(ALPHABET, max_size=2))
                choices.append((Literal(text, identifier=identifier), [text]))
                continue
            characters = {first} | (draw(st.sets(st.sampled_from(ALPHABET))) - reserved - barred)
            reserved |= characters
            classes |= characters
            low = draw(st.integers(1, 2))
            high = draw(st.none() | st.integers(low, 3))
            pieces = ["".join(draw(st.lists(st.sampled_from(sorted(characters)), min_size=n, max_size=n)))
                      for n in range(low, (high or low + 1) + 1)]
            choices.append((CharacterClass(characters, low, high, identifier=identifier), pieces))
        if len(choices) == 1:
            slots.append(choices[0][0])
        else:
            slots.append(z.StateMachine({0: [(leaf, "$") for leaf, _ in choices]}, identifier=f"slot{len(slots)}"))
        word += draw(st.sampled_from(draw(st.sampled_from(choices))[1]))
        barred = classes
    last = len(slots) - 1
    return z.StateMachine({i: [(m, i + 1 if i < last else "$")] for i, m in enumerate(slots)}), word


@st.composite
def near(draw, word):
    prefix = word[:draw(st.just(len(word)) | st.integers(0, len(word)))]
    return prefix + draw(st.just("") | st.text(ALPHABET, max_size=3))


keys = st.text(ALPHABET, min_size=1, max_size=3)
vocabularies = st.lists(keys, min_size=1, max_size=12, unique=True).map(lambda ks: sorted(set(ks) | set("abc")))


def snapshot(stepper):
    sub = stepper.sub_stepper
    return (repr(stepper), stepper.get_raw_value(), stepper.remaining_input, stepper.current_state,
            stepper.target_state, stepper.consumed_character_count, stepper.get_token_ids_history(),
            [snapshot(h) for h in stepper.history], stepper.has_reached_accept_state(),
            None if sub is None else snapshot(sub))


def walk(machine, pieces):
    steppers = machine.get_steppers()
    for piece in filter(None, pieces):
        steppers = advance_all_basic(steppers, piece)
    return steppers


@settings(PROFILE, max_examples=60, phases=[Phase.explicit, Phase.generate])
@given(grammars(), vocabularies, st.data())
def test_advancing_leaves_the_steppers_it_started_from_unchanged(grammar, texts, data):
    machine, word = grammar
    engine, _ = make_engine(texts, machine)
    vocabulary = z.TrieMap().insert_all([(t, i) for i, t in enumerate(texts)])
    for step in range(6):
        if not engine.steppers:
            engine.reset()
        old = engine.steppers
        before = [snapshot(s) for s in old]
        actions = ["consume", "consume_text", "select", "steppers"]
        action = data.draw(st.sampled_from(actions), label=f"action {step}")
        if action == "consume":
            engine.consume(data.draw(st.integers(0, len(texts) - 1)), token_healing=data.draw(st.booleans()))
        elif action == "consume_text":
            engine.consume_text(data.draw(near(word), label="text"), token_healing=data.draw(st.booleans()))
        elif action == "select":
            seed = data.draw(st.integers(0, 2**16), label="seed")
            scores = np.random.default_rng(seed).standard_normal((1, len(texts))).astype(np.float32)
            engine.mask_invalid_tokens(scores)
            try:
                engine.select_next_tokens(scores, make_random_sampler(seed))
            except (RuntimeError, ValueError) as error:  # every token refused, or the row fully masked
                assert "found no token" in str(error) or "only -inf" in str(error)
        else:  # the Stepper-level operations, which return new Steppers and leave the Engine's alone
            token = data.draw(near(word[len(old[0].get_raw_value()):]), label="token")
            results = [r for s in old for r in s.consume(token)] + advance_all_basic(old, token)
            results += [d.stepper for d in advance_all(old, token, vocabulary, data.draw(st.booleans()))]
            assert not {id(r) for r in results} & {id(s) for s in old}
        assert [snapshot(s) for s in old] == before, action


@examples(60)
@given(grammars(), vocabularies, st.data(), st.sampled_from([np.float32, np.float16]), st.integers(1, 3),
       st.integers(0, 3), st.integers(0, 2**16))
def test_masking_writes_exactly_the_refused_columns(grammar, texts, data, dtype, rows, extra, seed):
    machine, word = grammar
    engine, _ = make_engine(texts, machine)
    engine.consume_text(data.draw(near(word), label="consumed"))
    if not engine.steppers:
        engine.reset()
    width = len(texts) + extra  # columns past the vocabulary are allowed to be there too
    allowed = np.array(engine.compute_token_mask(width), bool)
    scores = np.random.default_rng(seed).standard_normal((rows, width)).astype(dtype)
    expected = scores.copy()
    expected[:, ~allowed] = -np.inf
    assert engine.mask_invalid_tokens(scores) is scores
    np.testing.assert_array_equal(scores.view(f"u{scores.itemsize}"), expected.view(f"u{scores.itemsize}"))
    assert np.array_equal(np.array(engine.compute_token_mask(width), bool), allowed)


@examples(120)
@given(grammars(), st.data())
def test_how_a_text_is_cut_does_not_change_the_survivors(grammar, data):
    machine, word = grammar
    text = data.draw(near(word), label="text")

    def outcome(pieces):
        return sorted((s.get_raw_value(), s.has_reached_accept_state()) for s in walk(machine, pieces))
    whole = outcome([text])
    points = sorted(data.draw(st.sets(st.integers(1, max(1, len(text) - 1)), max_size=4), label="cuts"))
    bounds = [0] + [p for p in points if p < len(text)] + [len(text)]
    assert outcome(text) == whole == outcome([text[a:b] for a, b in zip(bounds, bounds[1:]) if a < b])
    assert all(raw == text for raw, _ in whole)
    if text == word:
        assert any(accepted for _, accepted in whole)


def reference_spellings(texts, text):
    """Each key that starts `text`, then the longest key at each position (bytes)."""
    found, data, keys = set(), text.encode(), {t.encode() for t in texts}
    for pieces in [[k] for k in keys if k and data.startswith(k)]:
        while (position := sum(map(len, pieces))) < len(data):
            longest = max((k for k in keys if data.startswith(k, position)), key=len, default=b"")
            if not longest:
                break
            pieces.append(longest)
        else:
            found.add(tuple(p.decode() for p in pieces))
    return found


@examples(150)
@given(st.lists(st.text(ALPHABET[:3] + "é", max_size=3), min_size=1, max_size=10),
       st.text(ALPHABET[:3] + "é", max_size=8))
def test_break_into_tokens_spells_the_text_with_vocabulary_keys(texts, text):
    engine, _ = make_engine(texts)
    faulthandler.dump_traceback_later(60, exit=True)  # a loop that never ends fails the run
    try:
        spellings = engine.break_into_tokens(text)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert spellings == reference_spellings(texts, text)  # each of which spells `text` with keys
