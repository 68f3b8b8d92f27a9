"""Tokenizer vocabularies, the stand-in model and the samplers."""

import json

import numpy as np
import pytest

from zel.models import FrequencyModel, greedy_sampler, make_random_sampler, sample_texts
from zel.vocabularies import default_vocabulary_path, load_vocabulary, synthetic_vocabulary

TEXTS = [
    '{"name": "Ada", "tags": ["x", "y"], "n": -12.5e3, "ok": true}',
    "  leading spaces,\ttabs\nand\r\nnewlines  ",
    'Größe: 5 €, naïve café, «guillemets» — ok',
    "日本語のテキストと中文文本",
    "emoji 🎉👩‍💻 and 🇫🇷 flags",
    "",
]


def _real_vocabulary():
    path = default_vocabulary_path()
    if not path.is_file():
        pytest.skip(f"no vocabulary at {path}: run `make vocabulary`")
    pytest.importorskip("tiktoken", reason="tiktoken is not installed: run `make vocabulary`")
    return load_vocabulary(path)


@pytest.fixture(scope="module")
def real():
    return _real_vocabulary()


@pytest.fixture(scope="module")
def synthetic_32k():
    return synthetic_vocabulary(32768)


class TestRealVocabulary:
    def test_ids_are_dense_and_keys_unique(self, real):
        assert real.name == "cl100k_base"
        assert real.size == len(real.vocabulary) == len(real.tokens) == 100256
        assert sorted(real.vocabulary.values()) == list(range(real.size))
        assert all(real.vocabulary[key] == i for i, key in enumerate(real.tokens))

    def test_encodes_like_cl100k(self, real):
        assert real.encode("hello world") == [15339, 1917]

    @pytest.mark.parametrize("text", TEXTS)
    def test_round_trip(self, real, text):
        assert real.decode(real.encode(text)) == text

    def test_partial_tokens_have_valid_keys_and_decode_to_str(self, real):
        partial = [i for i in range(real.size) if _invalid_utf8(real.token_bytes(i))]
        assert len(partial) == 773
        for i in partial:
            real.tokens[i].encode("utf-8")  # no lone surrogates: passes to C++ and prints
            assert "\ufffd" in real.decode([i])

        # A character split over two tokens reads back whole only together.
        ids = real.encode("🎉")
        assert len(ids) > 1 and real.decode(ids) == "🎉"


def _invalid_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return False


class TestLoading:
    def test_missing_file_names_the_make_target(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="make vocabulary"):
            load_vocabulary(tmp_path / "absent.tiktoken")
        with pytest.raises(ValueError):
            synthetic_vocabulary(255)

    def test_small_file_loads_and_rejects_gaps(self, tmp_path):
        pytest.importorskip("tiktoken", reason="tiktoken is not installed: run `make vocabulary`")
        import base64
        tokens = [bytes([b]) for b in range(256)] + [b"ab", b" ab"]
        lines = [f"{base64.b64encode(t).decode()} {i}" for i, t in enumerate(tokens)]
        good = tmp_path / "tiny.tiktoken"
        good.write_text("\n".join(lines) + "\n")
        tiny = load_vocabulary(good)
        assert (tiny.name, tiny.size) == ("tiny", 258)
        assert tiny.encode("ab ab") == [256, 257]
        gap = tmp_path / "gap.tiktoken"
        gap.write_text("\n".join(lines[:-1] + [f"{base64.b64encode(b' ab').decode()} 300"]))
        with pytest.raises(ValueError, match="ranks"):
            load_vocabulary(gap)


class TestSyntheticVocabulary:
    @pytest.mark.parametrize("size", [256, 257, 5000, 131072])
    def test_exact_size_unique_keys(self, size):
        vocabulary = synthetic_vocabulary(size)
        assert vocabulary.size == len(vocabulary.vocabulary) == size

    def test_deterministic_per_seed(self, synthetic_32k):
        assert synthetic_vocabulary(32768).tokens == synthetic_32k.tokens
        assert synthetic_vocabulary(32768, seed=1).tokens != synthetic_32k.tokens

    @pytest.mark.parametrize("text", TEXTS)
    def test_round_trip(self, synthetic_32k, text):
        assert synthetic_32k.decode(synthetic_32k.encode(text)) == text

    @pytest.mark.parametrize("size", [32000, 131072])
    def test_from_real_base_keeps_its_ids(self, real, size):
        vocabulary = synthetic_vocabulary(size, base=real)
        assert vocabulary.size == len(vocabulary.vocabulary) == size
        shared = min(size, real.size)
        assert vocabulary.tokens[:shared] == real.tokens[:shared]
        for text in TEXTS:
            assert vocabulary.decode(vocabulary.encode(text)) == text


class TestFrequencyModel:
    def test_shape_dtype_and_normalised(self, synthetic_32k):
        model = FrequencyModel.from_texts(synthetic_32k)
        for history in ([], [5], np.array([[1, 2, 3]])):
            scores = model.scores(history)
            assert scores.shape == (1, 32768) and scores.dtype == np.float32
            assert np.isfinite(scores).all()
            assert np.logaddexp.reduce(scores[0].astype(np.float64)) == pytest.approx(0, abs=1e-4)

    def test_deterministic_and_follows_samples(self):
        samples = [[1, 2, 3], [1, 2, 4]]
        model = FrequencyModel(1000, samples, seed=3)
        again = FrequencyModel(1000, samples, seed=3)
        np.testing.assert_array_equal(model.scores([1]), again.scores([1]))
        assert not np.array_equal(model.scores([1]), FrequencyModel(1000, samples, seed=4).scores([1]))
        after_one = model.scores([7, 1])[0]
        assert greedy_sampler(model.scores([1]))[0, 0] == 2
        assert after_one[2] > np.sort(after_one)[-2] - 1e-6
        assert greedy_sampler(model.scores([]))[0, 0] == 1
        assert min(model.scores([2])[0, [3, 4]]) > np.median(model.scores([2])[0]) + 3

    def test_rejects_unknown_ids(self):
        with pytest.raises(ValueError):
            FrequencyModel(10, [[3, 10]])
        with pytest.raises(ValueError):
            FrequencyModel(10).scores([10])


def _masked(size, allowed, dtype=np.float32, allowed_value=-50.0):
    scores = np.full((1, size), -np.inf, dtype=dtype)
    scores[0, allowed] = allowed_value
    return scores


class TestSamplers:
    SAMPLERS = [greedy_sampler, make_random_sampler(0), make_random_sampler(1, 0.3),
                make_random_sampler(2, 5.0)]

    @pytest.mark.parametrize("sampler", SAMPLERS)
    @pytest.mark.parametrize("dtype", [np.float32, np.float16])
    def test_never_chooses_minus_infinity(self, sampler, dtype):
        allowed = [0, 17, 50_000]
        scores = _masked(100_000, allowed, dtype)
        scores[0, 17] = -1e4 if dtype == np.float32 else -6e4  # vanishing but allowed
        scores[0, [5, 99_999]] = np.nan
        for _ in range(50):
            chosen = sampler(scores)
            assert chosen.shape == (1, 1) and chosen.dtype == np.int32
            assert chosen[0, 0] in allowed

    @pytest.mark.parametrize("sampler", SAMPLERS)
    def test_nothing_allowed_raises(self, sampler):
        with pytest.raises(ValueError):
            sampler(np.full((1, 10), -np.inf, dtype=np.float32))

    # P(first) for probabilities 0.7 and 0.3 raised to 1 / temperature.
    @pytest.mark.parametrize("temperature, expected", [(1.0, 0.7), (0.5, 0.845), (2.0, 0.604)])
    def test_random_follows_probabilities_and_seed(self, temperature, expected):
        scores = np.array([[np.log(0.7), -np.inf, np.log(0.3)]], dtype=np.float32)
        sampler = make_random_sampler(5, temperature)
        draws = np.array([sampler(scores)[0, 0] for _ in range(2000)])
        assert set(draws) <= {0, 2}
        assert abs(np.mean(draws == 0) - expected) < 0.04
        again = make_random_sampler(5, temperature)
        assert [again(scores)[0, 0] for _ in range(2000)] == draws.tolist()
        assert make_random_sampler(5, temperature=0)(scores)[0, 0] == 0


def test_sample_texts_are_json():
    texts = sample_texts()
    assert len(texts) > 20
    for text in texts:
        json.loads(text)
