"""A batch of constrained rows: one packed bitmask over all rows, one token
consumed per row, grammars shared between rows."""

import json

import numpy as np
import pytest

from integration_kit import END, json_engine, small_tokenizer
from zel.batches import GrammarBatch
from zel.json_grammar import json_object_grammar

DOCUMENTS = ['{"age": 36}', '{"name": "Ada"}', '{}']


@pytest.fixture
def batch():
    return GrammarBatch.from_tokenizer(small_tokenizer(), json_object_grammar(), batch_size=len(DOCUMENTS))


def test_rows_follow_their_own_documents(batch):
    tokenizer = small_tokenizer()
    assert len({id(e.state_machine) for e in batch.engines}) == 1  # one grammar, shared
    spelled = [tokenizer.encode(d) for d in DOCUMENTS]
    references = [json_engine(tokenizer) for _ in DOCUMENTS]
    bitmask = batch.allocate_bitmask()
    assert bitmask.shape == (3, (tokenizer.size + 31) // 32) and bitmask.dtype == np.int32
    for step in range(max(map(len, spelled)) + 1):
        batch.fill_next_token_bitmask(bitmask)
        for row, ids in enumerate(spelled):
            expected = np.zeros_like(bitmask)
            references[row].fill_next_token_bitmask(expected, row)
            if batch.ended[row]:  # only the end token
                expected[row] = np.where(np.arange(bitmask.shape[1]) == END // 32, 1 << END % 32, 0)
            assert (bitmask[row] == expected[row]).all()
            if step < len(ids):
                references[row].consume(ids[step], token_healing=False)
        batch.consume([ids[step] if step < len(ids) else END for ids in spelled])
    assert batch.all_finished and batch.token_ids == spelled
    assert batch.values() == [json.loads(d) for d in DOCUMENTS]


def test_refusals_name_the_row(batch):
    tokenizer = small_tokenizer()
    with pytest.raises(ValueError, match="row 1: end token"):
        batch.consume([tokenizer.encode("{")[0], END, END])
    batch.reset()
    with pytest.raises(ValueError, match="row 2: token"):
        batch.consume([tokenizer.encode("{")[0]] * 2 + [tokenizer.encode("x")[0]])
    assert batch.token_ids[:2] == [tokenizer.encode("{")] * 2  # the rows before it went on


@pytest.mark.parametrize("shape", [(2, 9), (3,), (3, 9, 1)])
def test_bitmask_shape_is_checked(batch, shape):
    with pytest.raises(ValueError):
        batch.fill_next_token_bitmask(np.zeros(shape, dtype=np.int32))
