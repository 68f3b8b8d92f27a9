"""The transformers logits processor on a tiny randomly initialised model
(built here: nothing is downloaded), batched by row. Skipped where torch or
transformers is not installed: the suite's interpreter has neither."""

import json

import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")

from integration_kit import END, small_tokenizer  # noqa: E402
from zel.integrations.transformers import LogitsProcessor, StoppingCriteria  # noqa: E402
from zel.json_grammar import json_object_grammar  # noqa: E402


@pytest.fixture(scope="module")
def model():
    torch.manual_seed(0)
    size = small_tokenizer().size
    config = transformers.GPT2Config(vocab_size=size + 30, n_positions=128, n_embd=32, n_layer=1, n_head=2,
                                     eos_token_id=END, pad_token_id=END, bos_token_id=0)
    return transformers.GPT2LMHeadModel(config).eval()


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16])
def test_every_row_writes_json_the_grammar_allows(model, dtype):
    tokenizer = small_tokenizer()
    grammar = json_object_grammar()

    def make_engine():
        engine = tokenizer.engine()
        engine.state_machine = grammar
        return engine

    processor = LogitsProcessor(make_engine, tokenizer.control_tokens)
    prompts = torch.tensor([[0, 5, 6], [0, 7, 8], [0, 9, 9]])
    out = model.to(dtype).generate(
        prompts, attention_mask=torch.ones_like(prompts), do_sample=True, max_new_tokens=60,
        logits_processor=transformers.LogitsProcessorList([processor]),
        stopping_criteria=transformers.StoppingCriteriaList([StoppingCriteria(processor)]))
    assert len(processor.rows) == 3
    for row, ids in enumerate(out[:, prompts.shape[1]:].tolist()):
        text = tokenizer.decode(ids)
        if processor.finished()[row]:
            assert json.loads(text) == processor.values()[row]
        else:  # out of tokens: still a prefix the grammar allowed
            assert processor.rows[row].output == [t for t in ids if t != END][:len(processor.rows[row].output)]


def test_padded_vocabulary_columns_are_blocked(model):
    tokenizer = small_tokenizer()

    def make_engine():
        engine = tokenizer.engine()
        engine.state_machine = json_object_grammar()
        return engine

    processor = LogitsProcessor(make_engine, tokenizer.control_tokens)
    scores = torch.zeros((2, tokenizer.size + 30))
    processor(torch.tensor([[0], [0]]), scores)
    assert torch.isinf(scores[:, tokenizer.size:]).all()
    assert (scores[0] == scores[1]).all() and scores[0, tokenizer.encode("{")[0]] == 0
