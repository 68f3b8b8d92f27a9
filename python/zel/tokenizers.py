"""Tokenizer adapters: what an Engine needs, from the tokenizers users have.

Each ``from_*`` function returns a ``Tokenizer``: every id's true text (its
bytes), the Engine's vocabulary keyed by that text, ``encode``/``decode``,
and the ids that end a text (``control_tokens``, which an Engine allows once
the grammar may end):

- ``from_tiktoken(encoding)``: a ``tiktoken.Encoding``;
- ``from_huggingface(tokenizer_or_path)``: a ``tokenizers.Tokenizer``, a
  ``transformers`` tokenizer, or a local ``tokenizer.json`` (or a folder
  holding one);
- ``from_gguf(path)``: the vocabulary stored in a GGUF model file, read with
  the pure-Python ``gguf`` package;
- ``from_llama(llama)``: a llama-cpp-python ``Llama`` (``vocab_only=True``
  suffices).

True text
    Tokenizers store tokens in forms of their own. SentencePiece writes a
    space as ``▁`` (U+2581) and single bytes as ``<0xNN>``; byte-level BPE
    (GPT-2 and its heirs) writes each byte as a printable stand-in character
    (a space as ``Ġ``, a line feed as ``Ċ``). The adapters map these back to
    the bytes a model emits, because the grammar reads that text.

Keys
    The Engine's vocabulary maps text to ids. A token whose bytes are not
    valid UTF-8 alone (a piece of a multi-byte character, a lone byte token)
    has no text of its own; as in ``zel.vocabularies`` its key reads the valid
    part as usual and each undecodable byte as U+F700 + byte, so every id
    keeps a key of its own that no real text matches. Where two ids have the
    same bytes, the vocabulary keeps the lower id.

Special tokens
    Control and special tokens (``<|im_end|>``, ``</s>`` and the like) are
    left out of the vocabulary, so that the grammar never takes them for the
    text they are spelled with; their ids have ``b""`` as bytes and an Engine
    never allows them, except the end-of-text ids listed in
    ``control_tokens``.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from functools import lru_cache
from pathlib import Path
from typing import Any

from zel.vocabularies import token_key

__all__ = ["Tokenizer", "from_gguf", "from_huggingface", "from_llama", "from_tiktoken",
           "byte_level_decoder"]


class Tokenizer:
    """What an Engine needs of a tokenizer, with every id's true text.

    Attributes: ``name``; ``size`` (ids run from 0 to ``size - 1``);
    ``vocabulary``, token key to id, for ``zel_core.Engine``; ``tokens``,
    each id's key in id order (``""`` for special ids); ``control_tokens``,
    the ids that end a text; ``eos_token_id``, the main one (or None);
    ``special_tokens``, name to id of the ids left out of the vocabulary.
    """

    def __init__(self, name: str, token_bytes: Sequence[bytes], encoder: Callable[[str], list[int]], *,
                 special_tokens: Mapping[str, int] | None = None,
                 end_tokens: Iterable[int] = ()) -> None:
        self.name = name
        self._bytes = [bytes(b) for b in token_bytes]
        self.size = len(self._bytes)
        self.special_tokens = dict(special_tokens or {})
        special_ids = set(self.special_tokens.values())
        for i in special_ids:
            if not 0 <= i < self.size:
                raise ValueError(f"{name}: special token id {i} is outside 0..{self.size - 1}")
            self._bytes[i] = b""
        self.tokens = [token_key(b) for b in self._bytes]
        self.vocabulary: dict[str, int] = {}
        for i, key in enumerate(self.tokens):
            if key and key not in self.vocabulary:
                self.vocabulary[key] = i
        self.control_tokens = list(dict.fromkeys(int(i) for i in end_tokens))
        for i in self.control_tokens:
            if not 0 <= i < self.size:
                raise ValueError(f"{name}: end token id {i} is outside 0..{self.size - 1}")
        self.eos_token_id = self.control_tokens[0] if self.control_tokens else None
        self._encoder = encoder

    def __len__(self) -> int:
        return self.size

    def __repr__(self) -> str:
        return (f"<Tokenizer {self.name}: {self.size} ids, {len(self.vocabulary)} texts, "
                f"end tokens {self.control_tokens}>")

    def encode(self, text: str) -> list[int]:
        """The token ids of ``text`` (special-token markers read as text)."""
        return list(self._encoder(text))

    def token_bytes(self, token_id: int) -> bytes:
        """The bytes a model emits for one id (``b""`` for a special token)."""
        if not 0 <= token_id < self.size:
            raise ValueError(f"token id {token_id} is outside 0..{self.size - 1}")
        return self._bytes[token_id]

    def decode_bytes(self, ids: Iterable[int]) -> bytes:
        return b"".join(self.token_bytes(int(i)) for i in ids)

    def decode(self, ids: Iterable[int]) -> str:
        """The text of a sequence of ids; incomplete UTF-8 sequences become U+FFFD."""
        return self.decode_bytes(ids).decode("utf-8", errors="replace")

    def engine(self, **options: Any):
        """A ``zel_core.Engine`` over this vocabulary, ending texts with ``control_tokens``."""
        import zel_core

        options.setdefault("control_tokens", self.control_tokens)
        return zel_core.Engine(self.vocabulary, self.encode, self.decode, **options)


# --- byte-level BPE --------------------------------------------------------


@lru_cache(maxsize=1)
def _byte_level_alphabet() -> dict[str, int]:
    """The printable stand-in of each byte in byte-level BPE, back to the byte."""
    printable = (list(range(ord("!"), ord("~") + 1)) + list(range(ord("¡"), ord("¬") + 1))
                 + list(range(ord("®"), ord("ÿ") + 1)))
    stand_ins = list(printable)
    extra = 0
    for b in range(256):
        if b not in printable:
            printable.append(b)
            stand_ins.append(256 + extra)
            extra += 1
    return {chr(c): b for b, c in zip(printable, stand_ins)}


def byte_level_decoder(piece: str) -> bytes | None:
    """The bytes of a byte-level BPE piece, or None when it is not one."""
    alphabet = _byte_level_alphabet()
    try:
        return bytes(alphabet[c] for c in piece)
    except KeyError:
        return None


def _sentencepiece_bytes(piece: str) -> bytes:
    if len(piece) == 6 and piece.startswith("<0x") and piece.endswith(">"):
        try:
            return bytes([int(piece[3:5], 16)])
        except ValueError:
            pass
    return piece.replace("\u2581", " ").encode("utf-8")


def _greedy_encoder(token_bytes: Sequence[bytes]) -> Callable[[str], list[int]]:
    """Longest match first: a spelling that decodes back to the text (not
    necessarily the tokenizer's own), for vocabularies read without their
    tokenizer."""
    ids: dict[bytes, int] = {}
    for i, b in enumerate(token_bytes):
        if b and b not in ids:
            ids[b] = i
    lengths = sorted({len(b) for b in ids}, reverse=True)

    def encode(text: str) -> list[int]:
        data = text.encode("utf-8")
        out: list[int] = []
        position = 0
        while position < len(data):
            for length in lengths:
                found = ids.get(data[position:position + length])
                if found is not None:
                    out.append(found)
                    position += length
                    break
            else:
                raise ValueError(f"byte {data[position]:#04x} at {position} has no token")
        return out

    return encode


# --- tiktoken ----------------------------------------------------------------


def from_tiktoken(encoding: Any, *, end_tokens: Iterable[str] | None = None) -> Tokenizer:
    """A ``tiktoken.Encoding``: ordinary ids by their bytes, special ids left out.

    ``end_tokens`` names the special tokens that end a text (by default
    ``<|endoftext|>`` where the encoding has it).
    """
    size = encoding.n_vocab
    special = dict(encoding._special_tokens) if hasattr(encoding, "_special_tokens") else {}
    special_ids = set(special.values())
    token_bytes = []
    for i in range(size):
        if i in special_ids:
            token_bytes.append(b"")
            continue
        try:
            token_bytes.append(encoding.decode_single_token_bytes(i))
        except KeyError:  # a gap in the ids
            token_bytes.append(b"")
    names = ["<|endoftext|>"] if end_tokens is None else list(end_tokens)
    ends = [special[n] for n in names if n in special]
    return Tokenizer(encoding.name, token_bytes, encoding.encode_ordinary,
                     special_tokens=special, end_tokens=ends)


# --- Hugging Face tokenizers -------------------------------------------------


def _load_huggingface(tokenizer_or_path: Any):
    if isinstance(tokenizer_or_path, (str, os.PathLike)):
        path = Path(tokenizer_or_path)
        if path.is_dir():
            path = path / "tokenizer.json"
        if not path.is_file():
            raise FileNotFoundError(f"no tokenizer.json at {path} (zel reads local files only)")
        from tokenizers import Tokenizer as HuggingFaceTokenizer

        return HuggingFaceTokenizer.from_file(str(path)), path.parent
    # A transformers fast tokenizer carries the tokenizers one.
    backend = getattr(tokenizer_or_path, "backend_tokenizer", None)
    return (backend if backend is not None else tokenizer_or_path), None


def _decoder_kinds(description: dict | None) -> set[str]:
    if not description:
        return set()
    kinds = {description.get("type", "")}
    for inner in (description.get("decoders") or []) + (description.get("pretokenizers") or []):
        kinds |= _decoder_kinds(inner)
    return kinds


def _end_token_names(folder: Path | None, original: Any) -> list[str]:
    names: list[str] = []
    eos = getattr(original, "eos_token", None)
    if isinstance(eos, str):
        names.append(eos)
    if folder is not None:
        for file in ("tokenizer_config.json", "generation_config.json", "config.json"):
            try:
                config = json.loads((folder / file).read_text())
            except (OSError, ValueError):
                continue
            value = config.get("eos_token")
            if isinstance(value, dict):
                value = value.get("content")
            if isinstance(value, str):
                names.append(value)
    return names


_DEFAULT_END_NAMES = ("</s>", "<|endoftext|>", "<|im_end|>", "<|eot_id|>", "<|end_of_text|>", "<eos>")


def from_huggingface(tokenizer_or_path: Any, *, end_tokens: Iterable[str] | None = None) -> Tokenizer:
    """A Hugging Face tokenizer: ``tokenizers.Tokenizer``, a transformers
    fast tokenizer, or the path of a local ``tokenizer.json`` (or its folder).

    Byte-level BPE pieces are mapped back from their printable form,
    SentencePiece ``▁`` and ``<0xNN>`` pieces to their spaces and bytes.
    Added tokens marked special are left out of the vocabulary.
    ``end_tokens`` names the tokens that end a text; by default the eos
    token of a transformers tokenizer or of ``tokenizer_config.json`` beside
    the file, else the usual names found among the special tokens.
    """
    hf, folder = _load_huggingface(tokenizer_or_path)
    description = json.loads(hf.to_str())
    model = description.get("model", {})
    decoders = _decoder_kinds(description.get("decoder"))
    pre = _decoder_kinds(description.get("pre_tokenizer"))
    byte_level = "ByteLevel" in decoders or "ByteLevel" in pre
    byte_fallback = "ByteFallback" in decoders or bool(model.get("byte_fallback"))
    size = hf.get_vocab_size(with_added_tokens=True)
    added = description.get("added_tokens", [])
    special = {t["content"]: int(t["id"]) for t in added if t.get("special")}
    # Added tokens are stored as their text, not in the model's piece form.
    added_text = {int(t["id"]): t["content"] for t in added if not t.get("special")}
    special_ids = set(special.values())
    token_bytes: list[bytes] = []
    for i in range(size):
        piece = hf.id_to_token(i)
        if piece is None or i in special_ids:
            token_bytes.append(b"")
        elif i in added_text:
            token_bytes.append(added_text[i].encode("utf-8"))
        elif byte_level:
            decoded = byte_level_decoder(piece)
            token_bytes.append(decoded if decoded is not None else piece.encode("utf-8"))
        elif byte_fallback or "Metaspace" in decoders or "\u2581" in piece:
            token_bytes.append(_sentencepiece_bytes(piece))
        else:
            token_bytes.append(piece.encode("utf-8"))
    names = list(end_tokens) if end_tokens is not None else (
        _end_token_names(folder, tokenizer_or_path) or [n for n in _DEFAULT_END_NAMES if n in special])
    ends = [special[n] for n in names if n in special]

    def encode(text: str) -> list[int]:
        return hf.encode(text, add_special_tokens=False).ids

    name = str(folder.name) if folder is not None else type(tokenizer_or_path).__name__
    return Tokenizer(name, token_bytes, encode, special_tokens=special, end_tokens=ends)


# --- GGUF --------------------------------------------------------------------

# llama.cpp's token types (tokenizer.ggml.token_type).
_NORMAL, _UNKNOWN, _CONTROL, _USER_DEFINED, _UNUSED, _BYTE = 1, 2, 3, 4, 5, 6


def from_gguf(path: str | os.PathLike[str]) -> Tokenizer:
    """The vocabulary stored in a GGUF model file (read, not loaded: no compile).

    ``tokenizer.ggml.model`` ``gpt2`` means byte-level BPE pieces, ``llama``
    SentencePiece pieces; control tokens are left out of the vocabulary and
    the eos and eot ids end a text. ``encode`` takes the longest token at
    each position: a spelling that decodes back to the text, not always the
    model's own (``from_llama`` gives the model's).
    """
    try:
        from zel.gguf_metadata import read_metadata
    except ImportError as error:
        raise ImportError("zel.tokenizers.from_gguf needs the gguf package (pure Python): "
                          "pip install gguf") from error
    metadata = read_metadata(path)
    model = metadata.get("tokenizer.ggml.model")
    pieces = metadata.get("tokenizer.ggml.tokens")
    if pieces is None:
        raise ValueError(f"{path}: no tokenizer.ggml.tokens: not a model file with a vocabulary")
    types = metadata.get("tokenizer.ggml.token_type") or [_NORMAL] * len(pieces)
    special: dict[str, int] = {}
    token_bytes: list[bytes] = []
    for i, (piece, kind) in enumerate(zip(pieces, types)):
        if kind in (_CONTROL, _UNUSED, _UNKNOWN):
            special[piece] = i
            token_bytes.append(b"")
        elif kind == _BYTE or model == "llama":
            token_bytes.append(_sentencepiece_bytes(piece))
        elif model == "gpt2" and kind == _NORMAL:
            decoded = byte_level_decoder(piece)
            token_bytes.append(decoded if decoded is not None else piece.encode("utf-8"))
        else:  # user-defined tokens are stored as their text
            token_bytes.append(piece.encode("utf-8"))
    ends = [metadata.get(f"tokenizer.ggml.{key}_token_id") for key in ("eos", "eot", "eom")]
    name = metadata.get("general.name") or Path(path).stem
    return Tokenizer(str(name), token_bytes, _greedy_encoder(token_bytes), special_tokens=special,
                     end_tokens=[int(i) for i in ends if i is not None and 0 <= int(i) < len(pieces)])


# --- llama-cpp-python -------------------------------------------------------


def _llama_piece(llama_cpp: Any, vocab: Any, token: int, special: bool, buffer: Any) -> bytes:
    """One id's bytes as llama.cpp renders them. (``Llama.detokenize`` gives
    b"" for pieces longer than its 32-byte buffer, such as 64 dashes.)"""
    n = llama_cpp.llama_token_to_piece(vocab, token, buffer, len(buffer), 0, special)
    if n < 0:
        import ctypes

        buffer = ctypes.create_string_buffer(-n)
        n = llama_cpp.llama_token_to_piece(vocab, token, buffer, len(buffer), 0, special)
    return bytes(buffer.raw[:n])


def from_llama(llama: Any) -> Tokenizer:
    """The vocabulary of a llama-cpp-python ``Llama``, each id's text as
    llama.cpp itself renders it; its end-of-generation ids end a text.
    ``encode`` is the model's own tokenizer (no BOS added)."""
    import ctypes

    import llama_cpp  # type: ignore[import-not-found, unused-ignore]

    size = llama.n_vocab()
    vocab = llama_cpp.llama_model_get_vocab(llama.model)
    buffer = ctypes.create_string_buffer(256)
    special: dict[str, int] = {}
    token_bytes: list[bytes] = []
    ends: list[int] = []
    for i in range(size):
        if llama_cpp.llama_vocab_is_eog(vocab, i):
            ends.append(i)
        if llama_cpp.llama_vocab_is_control(vocab, i):
            name = _llama_piece(llama_cpp, vocab, i, True, buffer).decode("utf-8", "replace")
            special[name or f"<control {i}>"] = i
            token_bytes.append(b"")
        else:
            token_bytes.append(_llama_piece(llama_cpp, vocab, i, False, buffer))
    eos = llama.token_eos()
    if 0 <= eos < size and eos not in ends:
        ends.append(eos)

    def encode(text: str) -> list[int]:
        return llama.tokenize(text.encode("utf-8"), add_bos=False, special=False)

    name = (llama.metadata or {}).get("general.name") or Path(llama.model_path).stem
    return Tokenizer(name, token_bytes, encode, special_tokens=special,
                     end_tokens=sorted(ends, key=lambda i: (i != eos, i)))
