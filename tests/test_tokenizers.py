"""Tokenizer adapters against real tokenizers: every id's text checked
against the tokenizer's own decode of that id."""

import json

import pytest

from zel.model_files import default_model_path
from zel.tokenizers import byte_level_decoder, from_gguf, from_huggingface, from_tiktoken
from zel.vocabularies import PATTERNS, default_vocabulary_path, token_key

TEXTS = ['{"name": "Ada", "age": 36, "hobbies": ["chess"]}', "naïve café 日本 🎉", "  a\n\tb  ", ""]


@pytest.fixture(scope="module")
def cl100k():
    tiktoken = pytest.importorskip("tiktoken")
    from tiktoken.load import load_tiktoken_bpe

    if not default_vocabulary_path().is_file():
        pytest.skip(f"no vocabulary at {default_vocabulary_path()}: run `make vocabulary`")
    encoding = tiktoken.Encoding(name="cl100k_base", pat_str=PATTERNS["cl100k_base"],
                                 mergeable_ranks=load_tiktoken_bpe(str(default_vocabulary_path())),
                                 special_tokens={"<|endoftext|>": 100257, "<|fim_prefix|>": 100258})
    return encoding, from_tiktoken(encoding)


@pytest.fixture(scope="module")
def smollm():
    pytest.importorskip("gguf")
    if not default_model_path().is_file():
        pytest.skip(f"no model at {default_model_path()}: run `make model`")
    return from_gguf(default_model_path())


@pytest.fixture(scope="module")
def smollm_huggingface(smollm):
    """The model's own tokenizer rebuilt as a Hugging Face byte-level BPE
    from the vocabulary and merges stored in the file."""
    tokenizers = pytest.importorskip("tokenizers")
    from zel.gguf_metadata import read_metadata

    metadata = read_metadata(default_model_path())
    pieces = metadata["tokenizer.ggml.tokens"]
    merges = [tuple(m.split(" ", 1)) for m in metadata["tokenizer.ggml.merges"]]
    hf = tokenizers.Tokenizer(tokenizers.models.BPE({p: i for i, p in enumerate(pieces)}, merges))
    hf.pre_tokenizer = tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=False)
    hf.decoder = tokenizers.decoders.ByteLevel()
    hf.add_special_tokens([p for p, t in zip(pieces, metadata["tokenizer.ggml.token_type"]) if t == 3])
    return hf


def check_keys(tokenizer):
    """Keys: the text where the bytes are UTF-8, distinct for distinct bytes."""
    for i in range(tokenizer.size):
        raw = tokenizer.token_bytes(i)
        assert tokenizer.tokens[i] == token_key(raw)
        assert not raw or tokenizer.vocabulary[tokenizer.tokens[i]] <= i
    assert "" not in tokenizer.vocabulary
    assert len({tokenizer.token_bytes(i) for i in tokenizer.vocabulary.values()}) == len(tokenizer.vocabulary)


def test_tiktoken_ids_have_the_bytes_tiktoken_decodes(cl100k):
    encoding, tokenizer = cl100k
    assert tokenizer.size == encoding.n_vocab
    for i in range(100256):
        assert tokenizer.token_bytes(i) == encoding.decode_single_token_bytes(i)
    check_keys(tokenizer)
    undecodable = [k for k in tokenizer.vocabulary if any(0xF780 <= ord(c) <= 0xF7FF for c in k)]
    assert len(undecodable) == 773
    # Special tokens stay out of the vocabulary; the end of text is a control token.
    assert tokenizer.special_tokens == {"<|endoftext|>": 100257, "<|fim_prefix|>": 100258}
    assert tokenizer.control_tokens == [100257] and tokenizer.eos_token_id == 100257
    assert "<|endoftext|>" not in tokenizer.vocabulary
    assert tokenizer.token_bytes(100256) == b""  # a gap in cl100k_base's ids
    for text in TEXTS + ["<|endoftext|> as text"]:
        assert tokenizer.encode(text) == encoding.encode_ordinary(text)
        assert tokenizer.decode(tokenizer.encode(text)) == text


def test_gguf_ids_have_the_text_the_model_tokenizer_decodes(smollm, smollm_huggingface, tmp_path):
    assert smollm.size == smollm_huggingface.get_vocab_size() == 49152
    for i in set(range(smollm.size)) - set(smollm.special_tokens.values()):
        assert smollm.token_bytes(i).decode("utf-8", errors="replace") == smollm_huggingface.decode([i]), i
    check_keys(smollm)
    assert smollm.special_tokens["<|im_end|>"] == 2 == smollm.eos_token_id
    assert smollm.control_tokens == [2] and "<|im_end|>" not in smollm.vocabulary
    assert all(smollm.token_bytes(i) == b"" for i in smollm.special_tokens.values())
    assert all(smollm.decode(smollm.encode(text)) == text for text in TEXTS)
    smollm_huggingface.save(str(tmp_path / "tokenizer.json"))  # a byte-level tokenizer file
    from_file = from_huggingface(tmp_path)
    assert [from_file.token_bytes(i) for i in range(from_file.size)] == \
           [smollm.token_bytes(i) for i in range(smollm.size)]
    assert set(from_file.special_tokens) == set(smollm.special_tokens)
    assert from_file.decode(from_file.encode(TEXTS[0])) == TEXTS[0]


def test_not_a_gguf_file(tmp_path):
    pytest.importorskip("gguf")
    (tmp_path / "x.gguf").write_bytes(b"not a model file at all, not at all")
    with pytest.raises(ValueError, match="not a GGUF file"):
        from_gguf(tmp_path / "x.gguf")


def test_sentencepiece_spaces_and_byte_pieces(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    pieces = ["<unk>", "<s>", "</s>"] + [f"<0x{b:02X}>" for b in range(256)] + \
             ["▁", "a", "b", "▁a", "ab", "▁ab", "é", "▁é"]
    hf = tokenizers.Tokenizer(tokenizers.models.BPE(
        {p: i for i, p in enumerate(pieces)}, [("▁", "a"), ("a", "b"), ("▁a", "b"), ("▁", "é")],
        unk_token="<unk>", byte_fallback=True))
    hf.normalizer = tokenizers.normalizers.Replace(" ", "▁")
    decoders = tokenizers.decoders
    hf.decoder = decoders.Sequence([decoders.Replace("▁", " "), decoders.ByteFallback(), decoders.Fuse()])
    hf.add_special_tokens(["<unk>", "<s>", "</s>"])
    hf.save(str(tmp_path / "tokenizer.json"))
    (tmp_path / "tokenizer_config.json").write_text(json.dumps({"eos_token": "</s>"}))
    tokenizer = from_huggingface(tmp_path / "tokenizer.json")
    assert tokenizer.control_tokens == [2]
    for i in range(3, len(pieces)):  # bytes 0x80 to 0xFF are not UTF-8 alone
        alone = 3 + 0x80 <= i < 3 + 256
        assert tokenizer.token_bytes(i) == (bytes([i - 3]) if alone else hf.decode([i]).encode()), pieces[i]
    assert all(tokenizer.tokens[3 + b] == chr(0xF700 + b) for b in range(0x80, 0x100))
    assert tokenizer.vocabulary[" ab"] == pieces.index("▁ab") and tokenizer.vocabulary["\n"] == 3 + 10
    assert tokenizer.decode(tokenizer.encode("ab ab\n")) == "ab ab\n"


def test_byte_level_pieces():
    pieces = ["Ġhello", "Ċ", "âĢĶ", "ĉ", "plain", "日"]
    assert [byte_level_decoder(p) for p in pieces] == [b" hello", b"\n", "—".encode(), b"\t", b"plain", None]
