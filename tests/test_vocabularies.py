"""Tokenizer vocabularies and the samplers."""

import base64

import numpy as np
import pytest
from zel.models import greedy_sampler, make_random_sampler
from zel.vocabularies import default_vocabulary_path, load_vocabulary, synthetic_vocabulary

TEXTS = ['{"n": -12.5e3, "ok": true}', "  tabs\tand\r\nnewlines ", "Größe € naïve «» — 日本語と中文", "🎉👩‍💻 🇫🇷", ""]


@pytest.fixture(scope="module")
def real():
    path = default_vocabulary_path()
    if not path.is_file():
        pytest.skip(f"no vocabulary at {path}: run `make vocabulary`")
    pytest.importorskip("tiktoken", reason="tiktoken is not installed: run `make vocabulary`")
    return load_vocabulary(path)


def test_real_keys_are_valid_text_and_unique(real):
    assert real.size == len(real.vocabulary) == len(real.tokens) == 100256
    assert all(real.vocabulary[key] == i for i, key in enumerate(real.tokens))
    # Bytes that are not UTF-8 on their own are keyed as private-use characters: unique, printable.
    partial = [i for i in range(real.size) if real.token_bytes(i).decode(errors="replace") != real.tokens[i]]
    assert len(partial) == 773
    assert all(real.tokens[i].encode("utf-8") and "\ufffd" in real.decode([i]) for i in partial)


def test_loader_refuses_gaps_and_names_the_make_target(tmp_path):
    pytest.importorskip("tiktoken", reason="tiktoken is not installed: run `make vocabulary`")
    with pytest.raises(FileNotFoundError, match="make vocabulary"):
        load_vocabulary(tmp_path / "absent.tiktoken")
    tokens = [bytes([b]) for b in range(256)] + [b"ab", b" ab"]
    lines = [f"{base64.b64encode(t).decode()} {i}" for i, t in enumerate(tokens)]
    (good := tmp_path / "tiny.tiktoken").write_text("\n".join(lines) + "\n")
    tiny = load_vocabulary(good)
    assert (tiny.name, tiny.size, tiny.encode("ab ab")) == ("tiny", 258, [256, 257])
    lines[-1] = f"{base64.b64encode(b' ab').decode()} 300"
    (gap := tmp_path / "gap.tiktoken").write_text("\n".join(lines))
    with pytest.raises(ValueError, match="ranks"):
        load_vocabulary(gap)


def test_synthetic_vocabulary_is_exact_deterministic_and_round_trips(real):
    first, based = synthetic_vocabulary(5000), synthetic_vocabulary(32000, base=real)
    assert first.size == len(first.vocabulary) == len(set(first.tokens)) == 5000
    assert synthetic_vocabulary(5000).tokens == first.tokens != synthetic_vocabulary(5000, seed=1).tokens
    assert based.size == len(based.vocabulary) == 32000 and based.tokens == real.tokens[:32000]
    with pytest.raises(ValueError):
        synthetic_vocabulary(255)
    assert all(v.decode(v.encode(text)) == text for v in (real, first, based) for text in TEXTS)


SAMPLERS = [greedy_sampler, make_random_sampler(0), make_random_sampler(1, 0.3), make_random_sampler(2, 5.0)]


@pytest.mark.parametrize("sampler", SAMPLERS)
@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_samplers_never_choose_minus_infinity(sampler, dtype):
    allowed = [0, 17, 50_000]
    scores = np.full((1, 100_000), -np.inf, dtype)
    scores[0, allowed] = -50.0
    scores[0, 17] = -1e4 if dtype == np.float32 else -6e4  # vanishing but allowed
    scores[0, [5, 99_999]] = np.nan
    chosen = np.concatenate([sampler(scores) for _ in range(50)], axis=1)
    assert chosen.shape == (1, 50) and chosen.dtype == np.int32 and set(chosen[0]) <= set(allowed)
    with pytest.raises(ValueError):
        sampler(np.full((1, 10), -np.inf, dtype))


@pytest.mark.parametrize("temperature, expected", [(0.5, 0.845), (2.0, 0.604)])  # 0.7 and 0.3 to 1 / t
def test_random_sampler_follows_probabilities_and_seed(temperature, expected):
    scores = np.array([[np.log(0.7), -np.inf, np.log(0.3)]], dtype=np.float32)
    samplers = [make_random_sampler(5, temperature) for _ in range(2)]  # the same seed draws the same
    draws, again = ([sampler(scores)[0, 0] for _ in range(2000)] for sampler in samplers)
    assert draws == again and set(draws) <= {0, 2} and abs(np.mean(np.array(draws) == 0) - expected) < 0.04
    assert make_random_sampler(5, temperature=0)(scores)[0, 0] == 0
