"""Documents decoded under the JSON grammar through the Engine always parse."""

import json

import numpy as np
import pytest

import zel_core
from zel.decoding import generate
from zel.json_grammar import json_object_grammar
from zel.models import FrequencyModel, make_random_sampler
from zel.vocabularies import synthetic_vocabulary


@pytest.fixture(scope="module")
def setup():
    vocabulary = synthetic_vocabulary(4096, seed=3)
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    engine.state_machine = json_object_grammar()
    model = FrequencyModel.from_texts(vocabulary, seed=1, unigram_weight=vocabulary.size / 20)
    return vocabulary, engine, model


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_generated_documents_parse(setup, dtype):
    vocabulary, engine, model = setup
    finished = 0
    for seed in range(12):
        result = generate(engine, lambda ids: model.scores(ids).astype(dtype), make_random_sampler(seed),
                          max_tokens=300)
        if not result.accepted:
            continue
        finished += 1
        text = vocabulary.decode(result.token_ids)
        assert isinstance(json.loads(text), dict), text
    assert finished >= 8


def test_generation_reports_steps_and_draws(setup):
    vocabulary, engine, model = setup
    seen = []
    result = generate(engine, model.scores, make_random_sampler(5), max_tokens=300, on_step=seen.append)
    assert result.steps == seen
    assert sum(seen, []) == result.token_ids
    assert result.draws >= len(result.steps)
