"""Tokenizer vocabularies for demos, tests and benchmarks, usable offline.

``load_vocabulary()`` reads a real byte-level BPE vocabulary in tiktoken's
format (one ``base64-token rank`` pair a line): by default OpenAI's
cl100k_base (100,256 tokens), which ``make vocabulary`` fetches into
``.deps/vocabulary/`` (o200k_base, 199,998 tokens, lies beside it). Encoding
uses the ``tiktoken`` package, built from the local file alone, so nothing is
downloaded at run time. ``synthetic_vocabulary(size)`` builds a deterministic
vocabulary of exactly ``size`` tokens for benchmarks, with or without a real
vocabulary to start from.

Token keys
    ``Vocabulary.vocabulary`` maps each token's text to its id. A byte-level
    token is a byte string, and some (773 of cl100k_base) are not valid UTF-8
    alone: a piece of a multi-byte character such as ``b"\\xe2\\x80"``. In
    their keys the valid part reads as usual and each byte that does not
    decode becomes the private-use character U+F700 + byte (U+F780 to U+F7FF).
    Keys are thus valid Unicode (they pass to C++ and print), one per id: the
    loader checks that no two tokens share a key.

Decoding
    ``decode(ids)`` joins the tokens' bytes and decodes them as UTF-8 with
    ``errors="replace"``: a sequence that ends or starts inside a character,
    such as a single partial token, gives U+FFFD in place of the incomplete
    bytes, while the whole sequence of an encoded text gives the text back
    exactly. ``token_bytes(id)`` gives a token's raw bytes.

Special tokens (``<|endoftext|>`` and the like) are left out: ids run from 0
to ``size - 1`` with no gaps, and ``encode`` treats such markers as text.
"""

from __future__ import annotations

import base64
import codecs
import os
import random
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

__all__ = [
    "Vocabulary",
    "default_vocabulary_path",
    "load_vocabulary",
    "synthetic_vocabulary",
    "token_key",
]

DEFAULT_NAME = "cl100k_base"
VOCABULARY_FOLDER = Path(".deps") / "vocabulary"

_R50K_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s"""
_CL100K_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
_O200K_PATTERN = "|".join([
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""\p{N}{1,3}""",
    r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
    r"""\s*[\r\n]+""",
    r"""\s+(?!\S)""",
    r"""\s+""",
])
# The pre-tokenisation pattern of each known vocabulary, by file name.
PATTERNS = {
    "gpt2": _R50K_PATTERN,
    "r50k_base": _R50K_PATTERN,
    "p50k_base": _R50K_PATTERN,
    "cl100k_base": _CL100K_PATTERN,
    "o200k_base": _O200K_PATTERN,
}

_PRIVATE_USE_BASE = 0xF700


def _private_use_bytes(error: UnicodeError) -> tuple[str, int]:
    if not isinstance(error, UnicodeDecodeError):
        raise error
    bad = error.object[error.start:error.end]
    return "".join(chr(_PRIVATE_USE_BASE + b) for b in bad), error.end


codecs.register_error("zel-private-use", _private_use_bytes)


def token_key(token: bytes) -> str:
    """The key of a token's bytes: their UTF-8 text, undecodable bytes as U+F700 + byte."""
    return token.decode("utf-8", errors="zel-private-use")


class Vocabulary:
    """A tokenizer: ids 0 to ``size - 1``, each naming one token's bytes.

    Attributes: ``name``; ``size``; ``vocabulary``, the dict from token key
    to id (see the module's notes on keys); ``tokens``, the keys in id order.
    """

    def __init__(self, name: str, tokens: Sequence[bytes],
                 encoder: Callable[[str], list[int]]) -> None:
        self.name = name
        self._bytes = list(tokens)
        self.size = len(self._bytes)
        self.tokens = [token_key(b) for b in self._bytes]
        self.vocabulary = {key: i for i, key in enumerate(self.tokens)}
        if len(self.vocabulary) != self.size:
            seen: dict[str, int] = {}
            for i, key in enumerate(self.tokens):
                if key in seen:
                    raise ValueError(f"{name}: tokens {seen[key]} and {i} share the key {key!r}")
                seen[key] = i
        self._encoder = encoder

    def __len__(self) -> int:
        return self.size

    def __repr__(self) -> str:
        return f"<Vocabulary {self.name}: {self.size} tokens>"

    def encode(self, text: str) -> list[int]:
        """The token ids of ``text``."""
        return self._encoder(text)

    def token_bytes(self, token_id: int) -> bytes:
        """The raw bytes of one token."""
        if not 0 <= token_id < self.size:
            raise ValueError(f"token id {token_id} is outside 0..{self.size - 1}")
        return self._bytes[token_id]

    def decode(self, ids: Iterable[int]) -> str:
        """The text of a sequence of ids; incomplete UTF-8 sequences become U+FFFD."""
        return b"".join(self.token_bytes(int(i)) for i in ids).decode("utf-8", errors="replace")


def _repo_root() -> Path:
    return Path(__file__).resolve().parent.parent.parent


def default_vocabulary_path() -> Path:
    """Where ``load_vocabulary()`` looks without an argument.

    The environment variable ZEL_VOCABULARY wins when set. Otherwise the file
    that ``make vocabulary`` writes into the repository: the one holding this
    module, or else the current directory when it is the repository (an
    installed ``zel`` run from there, as ``make demo`` does).
    """
    chosen = os.environ.get("ZEL_VOCABULARY")
    if chosen:
        return Path(chosen)
    relative = VOCABULARY_FOLDER / f"{DEFAULT_NAME}.tiktoken"
    roots = [root for root in (_repo_root(), Path.cwd())
             if (root / "scripts" / "fetch-vocabulary").is_file()] or [Path.cwd()]
    for root in roots:
        if (root / relative).is_file():
            return root / relative
    return roots[0] / relative


def _read_ranks(path: Path) -> dict[bytes, int]:
    ranks: dict[bytes, int] = {}
    for number, line in enumerate(path.read_bytes().splitlines(), 1):
        if not line.strip():
            continue
        try:
            encoded, rank = line.split()
            ranks[base64.b64decode(encoded, validate=True)] = int(rank)
        except ValueError as error:
            raise ValueError(f"{path}:{number}: not a 'base64-token rank' line") from error
    if sorted(ranks.values()) != list(range(len(ranks))):
        raise ValueError(f"{path}: the ranks are not the ids 0..{len(ranks) - 1}, each once")
    return ranks


def load_vocabulary(path: str | os.PathLike[str] | None = None, *,
                    pattern: str | None = None) -> Vocabulary:
    """Loads a byte-level BPE vocabulary from a tiktoken-format file, offline.

    ``path`` defaults to ``default_vocabulary_path()``. The vocabulary's
    ``name`` is the file name without its extension; it picks the
    pre-tokenisation ``pattern`` (a ``regex`` expression) for the known
    vocabularies (cl100k_base, o200k_base, gpt2, r50k_base, p50k_base) and
    cl100k_base's for any other, unless ``pattern`` is given.

    Raises FileNotFoundError, naming ``make vocabulary``, when the file is
    missing, and ImportError when ``tiktoken`` is not installed.
    """
    file = Path(path) if path is not None else default_vocabulary_path()
    if not file.is_file():
        raise FileNotFoundError(
            f"no tokenizer vocabulary at {file}: run `make vocabulary` in the repository "
            f"(or scripts/fetch-vocabulary), or set ZEL_VOCABULARY to a .tiktoken file")
    try:
        import tiktoken
    except ImportError as error:
        raise ImportError("zel.vocabularies needs the tiktoken package to encode: "
                          "run `make vocabulary` or `pip install tiktoken`") from error
    name = file.name.split(".")[0]
    ranks = _read_ranks(file)
    encoding = tiktoken.Encoding(
        name=f"zel-{name}", pat_str=pattern or PATTERNS.get(name, _CL100K_PATTERN),
        mergeable_ranks=ranks, special_tokens={})
    tokens = sorted(ranks, key=ranks.__getitem__)
    return Vocabulary(name, tokens, encoding.encode_ordinary)


class _GreedyEncoder:
    """Encodes UTF-8 bytes by taking the longest token at each position."""

    def __init__(self, tokens: Sequence[bytes]) -> None:
        self._ids = {token: i for i, token in enumerate(tokens)}
        self._lengths = sorted({len(token) for token in tokens}, reverse=True)

    def __call__(self, text: str) -> list[int]:
        data = text.encode("utf-8")
        ids: list[int] = []
        position, end = 0, len(data)
        while position < end:
            for length in self._lengths:
                found = self._ids.get(data[position:position + length])
                if found is not None:
                    ids.append(found)
                    position += length
                    break
            else:  # pragma: no cover - every single byte is a token
                raise AssertionError(f"byte {data[position]:#04x} has no token")
        return ids


_ONSETS = ["", "b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s",
           "t", "v", "w", "z", "br", "ch", "cl", "st", "tr", "sh", "th", "pl", "gr"]
_VOWELS = ["a", "e", "i", "o", "u", "y", "ai", "ea", "ou", "io"]
_CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ng", "ck", "x"]
_PIECES = ['{"', '"}', '":', '",', '": ', '", "', '{', '}', '[', ']', ',', ':', '"',
           '\n', '  ', '    ', 'true', 'false', 'null', ' true', ' false', ' null']


def _generated_pieces(seed: int) -> Iterable[bytes]:
    yield from (piece.encode() for piece in _PIECES)
    yield from (str(n).encode() for n in range(1000))
    rng = random.Random(seed)
    while True:
        word = "".join(rng.choice(_ONSETS) + rng.choice(_VOWELS) + rng.choice(_CODAS)
                       for _ in range(rng.choice((1, 1, 2, 2, 3))))
        roll = rng.random()
        if roll < 0.15:
            word = word.capitalize()
        elif roll < 0.2:
            word = word.upper()
        if rng.random() < 0.55:
            word = " " + word
        elif rng.random() < 0.1:
            word = '"' + word
        yield word.encode()


def synthetic_vocabulary(size: int, seed: int = 0, base: Vocabulary | None = None) -> Vocabulary:
    """A deterministic vocabulary of exactly ``size`` tokens (at least 256).

    Without ``base``: the 256 single bytes (id = byte value), then JSON
    punctuation, the numbers 0 to 999 and made-up words drawn from ``seed``.
    With a real ``base`` vocabulary: its first ``size`` tokens, under the same
    ids, or all of them followed by made-up pieces when ``size`` is larger
    (the first 256 ids of ``base`` must be its single bytes). The same
    arguments give the same vocabulary. ``encode`` takes the longest token at
    each position, so every text round-trips through ``decode``.
    """
    if size < 256:
        raise ValueError(f"a synthetic vocabulary holds every single byte: size {size} < 256")
    if base is None:
        tokens = [bytes([b]) for b in range(256)]
        origin = "bytes"
    else:
        tokens = [base.token_bytes(i) for i in range(min(size, base.size))]
        if len({t for t in tokens[:256] if len(t) == 1}) != 256:
            raise ValueError(f"{base.name}: the first 256 ids are not the 256 single bytes")
        origin = base.name
    seen = set(tokens)
    pieces = iter(_generated_pieces(seed))
    while len(tokens) < size:
        piece = next(pieces)
        if piece not in seen:
            seen.add(piece)
            tokens.append(piece)
    return Vocabulary(f"synthetic-{size}-{origin}-seed{seed}", tokens, _GreedyEncoder(tokens))
