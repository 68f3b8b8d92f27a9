"""Tokenizer adapters against real tokenizers: every id's text checked
against the tokenizer's own decode of that id."""

import json

import pytest

from zel.model_files import default_model_path
from zel.tokenizers import Tokenizer, byte_level_decoder, from_gguf, from_huggingface, from_tiktoken
from zel.vocabularies import default_vocabulary_path, token_key

TEXTS = ['{"name": "Ada", "age": 36, "hobbies": ["chess"]}', "naïve café 日本 🎉", "  a\n\tb  ", ""]


@pytest.fixture(scope="module")
def cl100k():
    tiktoken = pytest.importorskip("tiktoken")
    from tiktoken.load import load_tiktoken_bpe

    path = default_vocabulary_path()
    if not path.is_file():
        pytest.skip(f"no vocabulary at {path}: run `make vocabulary`")
    from zel.vocabularies import PATTERNS

    ranks = load_tiktoken_bpe(str(path))
    return tiktoken.Encoding(name="cl100k_base", pat_str=PATTERNS["cl100k_base"], mergeable_ranks=ranks,
                             special_tokens={"<|endoftext|>": 100257, "<|fim_prefix|>": 100258})


@pytest.fixture(scope="module")
def cl100k_tokenizer(cl100k):
    return from_tiktoken(cl100k)


@pytest.fixture(scope="module")
def gguf_path():
    pytest.importorskip("gguf")
    path = default_model_path()
    if not path.is_file():
        pytest.skip(f"no model at {path}: run `make model`")
    return path


@pytest.fixture(scope="module")
def smollm(gguf_path):
    return from_gguf(gguf_path)


@pytest.fixture(scope="module")
def smollm_huggingface(gguf_path):
    """The model's own tokenizer rebuilt as a Hugging Face byte-level BPE
    from the vocabulary and merges stored in the file."""
    tokenizers = pytest.importorskip("tokenizers")
    from zel.gguf_metadata import read_metadata

    metadata = read_metadata(gguf_path)
    pieces = metadata["tokenizer.ggml.tokens"]
    merges = [tuple(m.split(" ", 1)) for m in metadata["tokenizer.ggml.merges"]]
    types = metadata["tokenizer.ggml.token_type"]
    model = tokenizers.models.BPE({p: i for i, p in enumerate(pieces)}, merges)
    hf = tokenizers.Tokenizer(model)
    hf.pre_tokenizer = tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=False)
    hf.decoder = tokenizers.decoders.ByteLevel()
    hf.add_special_tokens([p for p, t in zip(pieces, types) if t == 3])
    return hf


def _check_keys(tokenizer: Tokenizer):
    """Keys: the text where the bytes are UTF-8, distinct for distinct bytes."""
    for i in range(tokenizer.size):
        raw = tokenizer.token_bytes(i)
        assert tokenizer.tokens[i] == token_key(raw)
        if raw:
            assert tokenizer.vocabulary[tokenizer.tokens[i]] <= i
    assert "" not in tokenizer.vocabulary
    by_bytes = {}
    for key, i in tokenizer.vocabulary.items():
        assert by_bytes.setdefault(tokenizer.token_bytes(i), key) == key


class TestTiktoken:
    def test_every_id_has_the_bytes_tiktoken_decodes(self, cl100k, cl100k_tokenizer):
        tokenizer = cl100k_tokenizer
        assert tokenizer.size == cl100k.n_vocab
        for i in range(100256):
            assert tokenizer.token_bytes(i) == cl100k.decode_single_token_bytes(i)
        _check_keys(tokenizer)
        undecodable = [k for k in tokenizer.vocabulary if any(0xF780 <= ord(c) <= 0xF7FF for c in k)]
        assert len(undecodable) == 773

    def test_special_tokens_are_left_out_and_end_marks_the_text(self, cl100k_tokenizer):
        tokenizer = cl100k_tokenizer
        assert tokenizer.special_tokens == {"<|endoftext|>": 100257, "<|fim_prefix|>": 100258}
        assert tokenizer.control_tokens == [100257] and tokenizer.eos_token_id == 100257
        assert "<|endoftext|>" not in tokenizer.vocabulary
        assert tokenizer.token_bytes(100256) == b""  # a gap in cl100k_base's ids

    @pytest.mark.parametrize("text", TEXTS + ["<|endoftext|> as text"])
    def test_round_trip(self, cl100k, cl100k_tokenizer, text):
        tokenizer = cl100k_tokenizer
        assert tokenizer.decode(tokenizer.encode(text)) == text
        assert tokenizer.encode(text) == cl100k.encode_ordinary(text)


class TestGguf:
    def test_every_id_has_the_text_the_model_tokenizer_decodes(self, smollm, smollm_huggingface):
        hf = smollm_huggingface
        assert smollm.size == hf.get_vocab_size() == 49152
        for i in range(smollm.size):
            if i in smollm.special_tokens.values():
                continue
            raw = smollm.token_bytes(i)
            assert raw.decode("utf-8", errors="replace") == hf.decode([i]), i
        _check_keys(smollm)

    def test_control_tokens_and_end(self, smollm):
        assert smollm.special_tokens["<|im_end|>"] == 2 == smollm.eos_token_id
        assert smollm.control_tokens == [2]
        assert all(smollm.token_bytes(i) == b"" for i in smollm.special_tokens.values())
        assert "<|im_end|>" not in smollm.vocabulary

    @pytest.mark.parametrize("text", TEXTS)
    def test_encode_round_trips(self, smollm, text):
        assert smollm.decode(smollm.encode(text)) == text

    def test_not_a_gguf_file(self, tmp_path):
        pytest.importorskip("gguf")
        bad = tmp_path / "x.gguf"
        bad.write_bytes(b"not a model file at all, not at all")
        with pytest.raises(ValueError, match="not a GGUF file"):
            from_gguf(bad)


class TestHuggingFace:
    def test_byte_level_file_gives_the_gguf_texts(self, smollm, smollm_huggingface, tmp_path):
        path = tmp_path / "tokenizer.json"
        smollm_huggingface.save(str(path))
        tokenizer = from_huggingface(tmp_path)
        assert [tokenizer.token_bytes(i) for i in range(tokenizer.size)] == \
               [smollm.token_bytes(i) for i in range(smollm.size)]
        assert set(tokenizer.special_tokens) == set(smollm.special_tokens)
        text = TEXTS[0]
        assert tokenizer.decode(tokenizer.encode(text)) == text

    def test_sentencepiece_spaces_and_byte_pieces(self, tmp_path):
        tokenizers = pytest.importorskip("tokenizers")
        pieces = ["<unk>", "<s>", "</s>"] + [f"<0x{b:02X}>" for b in range(256)] + \
                 ["▁", "a", "b", "▁a", "ab", "▁ab", "é", "▁é"]
        vocab = {p: i for i, p in enumerate(pieces)}
        model = tokenizers.models.BPE(vocab, [("▁", "a"), ("a", "b"), ("▁a", "b"), ("▁", "é")],
                                      unk_token="<unk>", byte_fallback=True)
        hf = tokenizers.Tokenizer(model)
        hf.normalizer = tokenizers.normalizers.Replace(" ", "▁")
        hf.decoder = tokenizers.decoders.Sequence([
            tokenizers.decoders.Replace("▁", " "), tokenizers.decoders.ByteFallback(),
            tokenizers.decoders.Fuse()])
        hf.add_special_tokens(["<unk>", "<s>", "</s>"])
        hf.save(str(tmp_path / "tokenizer.json"))
        (tmp_path / "tokenizer_config.json").write_text(json.dumps({"eos_token": "</s>"}))
        tokenizer = from_huggingface(tmp_path / "tokenizer.json")
        assert tokenizer.control_tokens == [2]
        for i, piece in enumerate(pieces[3:], 3):
            expected = hf.decode([i])
            if piece.startswith("<0x") and int(piece[3:5], 16) >= 0x80:
                assert tokenizer.token_bytes(i) == bytes([int(piece[3:5], 16)])
                assert tokenizer.tokens[i] == chr(0xF700 + int(piece[3:5], 16))
            else:
                assert tokenizer.token_bytes(i).decode() == expected, piece
        assert tokenizer.vocabulary[" ab"] == vocab["▁ab"] and tokenizer.vocabulary["\n"] == 3 + 10
        assert tokenizer.decode(tokenizer.encode("ab ab\n")) == "ab ab\n"


@pytest.mark.parametrize("piece, expected", [("Ġhello", b" hello"), ("Ċ", b"\n"), ("âĢĶ", "—".encode()),
                                             ("ĉ", b"\t"), ("plain", b"plain"), ("日", None)])
def test_byte_level_pieces(piece, expected):
    assert byte_level_decoder(piece) == expected
