"""After every decoding step, the text of all ids emitted so far is exactly
the text every live stepper consumed, and finished JSON documents parse."""

import json
import random

import numpy as np
import pytest

import zel_core
from zel.decoding import generate, generate_by_consuming
from zel.json_grammar import json_object_grammar
from zel.leaves import CharacterClass, Literal
from zel.models import FrequencyModel, make_random_sampler
from zel.vocabularies import synthetic_vocabulary


def spelled(engine, ids):
    texts = engine.reverse_vocabulary
    return "".join(texts[i] for i in ids)


def checking(engine, emitted):
    """An on_step callback asserting the invariant after each step."""
    def check(ids):
        emitted.extend(ids)
        text = spelled(engine, emitted)
        assert engine.steppers
        for stepper in engine.steppers:
            assert stepper.get_raw_value() == text
    return check


@pytest.fixture(scope="module")
def json_setup():
    vocabulary = synthetic_vocabulary(3000, seed=11)
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    engine.state_machine = json_object_grammar(max_whitespace=2)
    model = FrequencyModel.from_texts(vocabulary, seed=2, unigram_weight=vocabulary.size / 10)
    return vocabulary, engine, model


@pytest.mark.parametrize("loop, documents", [(generate, 200), (generate_by_consuming, 60)])
def test_json_documents_follow_the_grammar_step_by_step(json_setup, loop, documents):
    vocabulary, engine, model = json_setup
    finished = 0
    for seed in range(documents):
        emitted = []
        result = loop(engine, model.scores, make_random_sampler(seed, temperature=0.7),
                      max_tokens=150, on_step=checking(engine, emitted))
        if result.accepted:
            finished += 1
            assert isinstance(json.loads(spelled(engine, result.token_ids)), dict)
    assert finished >= documents // 2


def random_grammar(rng):
    """A chain of literals and character classes with some alternatives."""
    pieces = ["ab", "b", "ba", "abc", "c", "ca"]
    graph = {}
    states = rng.randint(2, 5)
    for state in range(states):
        target = state + 1 if state + 1 < states else "$"
        leaf = (Literal(rng.choice(pieces)) if rng.random() < 0.6
                else CharacterClass(rng.sample("abc", rng.randint(1, 3)), 1, rng.randint(1, 4)))
        graph[state] = [(leaf, target)]
    return zel_core.StateMachine(graph)


def test_random_grammars_and_vocabularies():
    rng = random.Random(5)
    steps = 0
    for round_ in range(60):
        keys = sorted({"".join(rng.choices("abc", k=rng.randint(1, 4))) for _ in range(rng.randint(3, 25))}
                      | {"a", "b", "c"})
        texts = dict(enumerate(keys))
        engine = zel_core.Engine({f"<{i}>": i for i in texts}, lambda s: [],
                                 lambda ids: "".join(texts[i] for i in ids),
                                 multi_token_sampling=rng.random() < 0.7)
        engine.state_machine = random_grammar(rng)
        noise = np.random.default_rng(round_)
        emitted = []
        generate(engine, lambda ids: noise.standard_normal((1, len(keys))).astype(np.float32),
                 make_random_sampler(round_), max_tokens=30, on_step=checking(engine, emitted))
        steps += bool(emitted)
    assert steps >= 40
