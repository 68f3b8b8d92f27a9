"""The llama.cpp logits processor, called with every id so far and the next scores: it consumes the
new ids and masks the scores exactly, in place; and a few tokens of the real model where it is built."""

import json

import numpy as np
import pytest

from integration_kit import END, allowed, json_engine, small_tokenizer
from zel.integrations.llama_cpp import GrammarRefused, LogitsProcessor, complete, generate
from zel.model_files import default_model_path
from zel.tokenizers import from_gguf, from_llama
from zel_core import StateMachine
from zel_core.leaves import Regex

DOCUMENT = '{"name": "Ada", "age": 36}'
PROMPT = [0, 5, 6, 7]


@pytest.fixture
def setup():
    tokenizer = small_tokenizer()
    return tokenizer, LogitsProcessor(json_engine(tokenizer), [END]), lambda: np.zeros(tokenizer.size, np.float32)


def test_each_call_masks_what_the_grammar_allows_next(setup):
    tokenizer, processor, _ = setup
    reference, document = json_engine(tokenizer), tokenizer.encode(DOCUMENT)
    for step in range(len(document) + 1):
        # Strided scores, as in llama.cpp's token data records.
        records = np.zeros(tokenizer.size, dtype=[("id", np.intc), ("logit", np.single), ("p", np.single)])
        scores = records["logit"]
        assert processor(np.array(PROMPT + document[:step], dtype=np.intc), scores) is scores
        assert set(np.flatnonzero(scores == 0).tolist()) == allowed(reference, tokenizer.size)
        assert (records["p"] == 0).all() and (records["id"] == 0).all()
        if step < len(document):
            assert scores[document[step]] == 0 and scores[END] == -np.inf
            reference.consume(document[step], token_healing=False)
    # Only trailing white space may follow, and the end.
    assert np.flatnonzero(scores == 0).tolist() == [END] + [2 + ord(c) for c in "\t\n\r "]
    assert processor.accepted and processor.value == json.loads(DOCUMENT)
    # An end token ends the output: recorded, not handed to the grammar.
    processor(np.array(PROMPT + document + [END], dtype=np.intc), scores)
    assert processor.token_ids == document + [END] and processor.value == json.loads(DOCUMENT)


def test_a_new_prompt_restarts_and_a_refused_token_raises(setup):
    tokenizer, processor, zeros = setup
    first = tokenizer.encode('{"a')
    processor(PROMPT, zeros())
    processor(PROMPT + first, zeros())
    assert processor.token_ids == first
    scores = zeros()
    processor([0, 9], scores)  # shorter: another output
    assert processor.token_ids == []
    assert set(np.flatnonzero(scores == 0).tolist()) == allowed(json_engine(tokenizer), tokenizer.size)
    processor.reset()
    processor([0, 9, 9, 9], zeros())  # after reset the ids are a prompt
    assert processor.token_ids == []
    with pytest.raises(GrammarRefused, match="does not continue"):
        processor([0, 9, 9, 9] + tokenizer.encode("x"), zeros())


@pytest.fixture(scope="module")
def llama():
    llama_cpp = pytest.importorskip("llama_cpp", reason="llama-cpp-python is not built: run `make llama`")
    if not default_model_path().is_file():
        pytest.skip(f"no model at {default_model_path()}: run `make model`")
    return llama_cpp.Llama(str(default_model_path()), n_ctx=256, n_threads=2, seed=1, verbose=False)


def test_the_real_model_writes_what_the_grammar_allows(llama):
    tokenizer, stored = from_llama(llama), from_gguf(default_model_path())
    assert [tokenizer.token_bytes(i) for i in range(tokenizer.size)] == \
           [stored.token_bytes(i) for i in range(stored.size)]
    assert 2 in tokenizer.control_tokens
    engine = tokenizer.engine()
    engine.state_machine = StateMachine({0: [(Regex(r"[a-z]{2,4}"), 1)], 1: [(Regex(r"!|\?"), "$")]})
    result = generate(llama, engine, llama.tokenize(b"Say hi", add_bos=False), max_tokens=8)
    assert result.accepted and result.finish_reason == "stop"
    assert result.text == result.value and 3 <= len(result.text) <= 5 and result.text[-1] in "!?"
    via_processor = complete(llama, engine, "Say hi", max_tokens=8, temperature=0)
    assert via_processor.accepted and via_processor.text == via_processor.value
