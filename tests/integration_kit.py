"""A small real-looking tokenizer for the integration tests: the 256 single bytes, JSON pieces and
words, and two special tokens (ids 0 and 1; 1 ends a text), as zel.tokenizers builds them."""

import numpy as np
import zel_core
from zel.json_grammar import json_object_grammar
from zel.tokenizers import Tokenizer, _greedy_encoder

PIECES = [b'{"', b'":', b'",', b'"}', b' "', b'name', b'age', b'Ada', b' 3', b'6', b'}', b'{', b'":"', b'\xc3']
END = 1


def small_tokenizer() -> Tokenizer:
    token_bytes = [b"", b""] + [bytes([b]) for b in range(256)] + PIECES
    return Tokenizer("small", token_bytes, _greedy_encoder(token_bytes),
                     special_tokens={"<s>": 0, "</s>": END}, end_tokens=[END])


def json_engine(tokenizer: Tokenizer, grammar=None, **options) -> zel_core.Engine:
    engine = tokenizer.engine(**options)
    engine.state_machine = grammar or json_object_grammar()
    engine.reset()
    return engine


def allowed(engine: zel_core.Engine, size: int) -> set[int]:
    scores = np.zeros(size, dtype=np.float32)
    engine.mask_scores_exactly(scores)
    return set(np.flatnonzero(scores == 0).tolist())
