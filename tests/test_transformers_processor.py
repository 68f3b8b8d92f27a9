"""The transformers logits processor, batched by row, on a tiny random model built here (nothing is
downloaded); skipped where torch or transformers is missing, as in the suite's interpreter."""

import json

import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")

from integration_kit import END, json_engine, small_tokenizer  # noqa: E402
from zel.integrations.transformers import LogitsProcessor, StoppingCriteria  # noqa: E402
from zel.json_grammar import json_object_grammar  # noqa: E402

TOKENIZER = small_tokenizer()


@pytest.fixture
def processor():
    grammar = json_object_grammar()  # shared by the rows
    return LogitsProcessor(lambda: json_engine(TOKENIZER, grammar), TOKENIZER.control_tokens)


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16])
def test_every_row_writes_json_the_grammar_allows(processor, dtype):
    torch.manual_seed(0)
    config = transformers.GPT2Config(vocab_size=TOKENIZER.size + 30, n_positions=128, n_embd=32, n_layer=1,
                                     n_head=2, eos_token_id=END, pad_token_id=END, bos_token_id=0)
    prompts = torch.tensor([[0, 5, 6], [0, 7, 8], [0, 9, 9]])
    out = transformers.GPT2LMHeadModel(config).eval().to(dtype).generate(
        prompts, attention_mask=torch.ones_like(prompts), do_sample=True, max_new_tokens=60,
        logits_processor=transformers.LogitsProcessorList([processor]),
        stopping_criteria=transformers.StoppingCriteriaList([StoppingCriteria(processor)]))
    assert len(processor.rows) == 3
    for row, ids in enumerate(out[:, prompts.shape[1]:].tolist()):
        if processor.finished()[row]:
            assert json.loads(TOKENIZER.decode(ids)) == processor.values()[row]
        else:  # out of tokens: still a prefix the grammar allowed
            output = processor.rows[row].output
            assert output == [t for t in ids if t != END][:len(output)]


def test_padded_vocabulary_columns_are_blocked(processor):
    scores = torch.zeros((2, TOKENIZER.size + 30))
    processor(torch.tensor([[0], [0]]), scores)
    assert torch.isinf(scores[:, TOKENIZER.size:]).all()
    assert (scores[0] == scores[1]).all() and scores[0, TOKENIZER.encode("{")[0]] == 0
