"""One adapter per constrained-decoding engine, behind the same five calls.

The worker process imports this file under whichever interpreter has the
engine installed (zel's own venv for zel, the peers' venv for the others), so
it imports nothing but the standard library and numpy at the top; each engine
is imported when its adapter is built.

Every adapter is built from the same token table (the bytes of each id of
cl100k_base plus one end-of-text id) and offers:

    compile(grammar)   the grammar description of a task -> compiled grammar
                       (raises Unsupported when the engine cannot take it)
    start(compiled)    a fresh matcher at the start of a document
    prepare()          untimed work before each mask (refilling a score row)
    mask()             compute the next-token mask (timed)
    allows(token)      whether the last mask lets `token` through (untimed)
    advance(token)     move past `token` (timed); False when refused
    allows_end()       whether the last mask lets the end-of-text id through

Grammar descriptions: {"kind": "json_object"} for "any JSON object", and
{"kind": "json_schema", "schema": {...}} for a JSON Schema.
"""

from __future__ import annotations

import base64
import importlib
import json
from importlib import metadata

import numpy as np

END_OF_TEXT = b"<|endoftext|>"


class Unsupported(Exception):
    """The engine cannot compile this grammar."""


class TokenTable:
    """Token bytes by id read from a tiktoken-format file, plus an end-of-text id."""

    def __init__(self, path: str, pattern: str) -> None:
        ranks: dict[bytes, int] = {}
        with open(path, "rb") as file:
            for line in file:
                if line.strip():
                    encoded, rank = line.split()
                    ranks[base64.b64decode(encoded)] = int(rank)
        self.ranks = ranks
        self.tokens = sorted(ranks, key=ranks.__getitem__)
        self.pattern = pattern
        self.eos = len(self.tokens)
        self.size = self.eos + 1

    def texts(self) -> list[tuple[int, str, bool]]:
        """(id, text, decodes alone) for every ordinary id; bad UTF-8 becomes U+FFFD."""
        rows = []
        for i, token in enumerate(self.tokens):
            try:
                rows.append((i, token.decode("utf-8"), True))
            except UnicodeDecodeError:
                rows.append((i, token.decode("utf-8", errors="replace"), False))
        return rows


def _schema_of(grammar: dict) -> dict:
    if grammar["kind"] == "json_object":
        return {"type": "object"}
    if grammar["kind"] == "json_schema":
        return grammar["schema"]
    raise Unsupported(f"grammar kind {grammar['kind']!r}")


def _bit(words: np.ndarray, token: int) -> bool:
    return bool((int(words[token >> 5]) >> (token & 31)) & 1)


class _BitmaskEngine:
    """Shared parts of the engines that fill an int32 bitmask row."""

    def __init__(self, table: TokenTable) -> None:
        self.table = table
        self.words = np.zeros((1, (table.size + 31) // 32), dtype=np.int32)

    def prepare(self) -> None:
        pass

    def allows(self, token: int) -> bool:
        return _bit(self.words[0], token)

    def allows_end(self) -> bool:
        return _bit(self.words[0], self.table.eos)


class LLGuidance(_BitmaskEngine):
    name = "llguidance"
    mask_kind = "exact, int32 bitmask"
    # Defaults kept: white space is flexible ([ \n\r\t]+ between any two tokens).
    whitespace = "any run of [ \\t\\n\\r] between tokens"

    def __init__(self, table: TokenTable) -> None:
        super().__init__(table)
        import llguidance
        import llguidance.numpy
        self._ll = llguidance
        self._fill = llguidance.numpy.fill_next_token_bitmask
        self.version = metadata.version("llguidance")
        self.tokenizer = llguidance.LLTokenizer.from_tiktoken(
            encoder=table.ranks, special_tokens={END_OF_TEXT.decode(): table.eos},
            pattern=table.pattern, eos_token=table.eos, n_vocab=table.size)

    def compile(self, grammar: dict):
        try:
            text = self._ll.LLMatcher.grammar_from_json_schema(_schema_of(grammar))
        except ValueError as error:
            raise Unsupported(str(error)[:300]) from error
        matcher = self._ll.LLMatcher(self.tokenizer, text, log_level=0)
        if matcher.is_error():
            raise Unsupported(matcher.get_error()[:300])
        return text

    def start(self, compiled) -> None:
        self.matcher = self._ll.LLMatcher(self.tokenizer, compiled, log_level=0)

    def mask(self) -> None:
        self._fill(self.matcher, self.words, 0)

    def advance(self, token: int) -> bool:
        return bool(self.matcher.consume_token(token)) and not self.matcher.is_error()


class XGrammar(_BitmaskEngine):
    name = "xgrammar"
    mask_kind = "exact, int32 bitmask"
    # any_whitespace=True (its default); strict_mode=False so that an object
    # without "properties" admits any members, as the schema says.
    whitespace = "any run of [ \\t\\n\\r] between tokens (any_whitespace=True)"

    def __init__(self, table: TokenTable) -> None:
        super().__init__(table)
        import torch
        torch.set_num_threads(1)
        import xgrammar
        self._xgr = xgrammar
        self.version = metadata.version("xgrammar")
        info = xgrammar.TokenizerInfo(
            list(table.tokens) + [END_OF_TEXT], xgrammar.VocabType.RAW,
            vocab_size=table.size, stop_token_ids=[table.eos])
        self.compiler = xgrammar.GrammarCompiler(info, max_threads=1, cache_enabled=False)
        self.bitmask = xgrammar.allocate_token_bitmask(1, table.size)
        self.words = self.bitmask.numpy()

    def compile(self, grammar: dict):
        try:
            return self.compiler.compile_json_schema(
                json.dumps(_schema_of(grammar)), any_whitespace=True, strict_mode=False)
        except Exception as error:  # noqa: BLE001 - any compile failure counts as unsupported
            raise Unsupported(f"{type(error).__name__}: {error}"[:300]) from error

    def start(self, compiled) -> None:
        self.matcher = self._xgr.GrammarMatcher(compiled)

    def mask(self) -> None:
        self.matcher.fill_next_token_bitmask(self.bitmask, 0)

    def advance(self, token: int) -> bool:
        return bool(self.matcher.accept_token(token))


class OutlinesCore(_BitmaskEngine):
    name = "outlines-core"
    mask_kind = "exact, int32 bitmask"
    # build_regex_from_schema's default white space: at most one space at
    # each place, no line breaks; nesting unrolled to max_recursion_depth=3.
    whitespace = "at most one space between tokens (default pattern [ ]?)"

    def __init__(self, table: TokenTable) -> None:
        super().__init__(table)
        import outlines_core
        from outlines_core.json_schema import build_regex_from_schema
        self._oc = outlines_core
        self._regex = build_regex_from_schema
        self.version = metadata.version("outlines-core")
        self.vocabulary = outlines_core.Vocabulary(
            table.eos, {token: [i] for i, token in enumerate(table.tokens)})
        self._pointer = self.words.ctypes.data

    def compile(self, grammar: dict):
        try:
            regex = self._regex(json.dumps(_schema_of(grammar)))
            return self._oc.Index(regex, self.vocabulary)
        except Exception as error:  # noqa: BLE001
            raise Unsupported(f"{type(error).__name__}: {error}"[:300]) from error

    def start(self, compiled) -> None:
        self.guide = self._oc.Guide(compiled)

    def mask(self) -> None:
        self.guide.write_mask_into(self._pointer, self.words.size, 4)

    def advance(self, token: int) -> bool:
        try:
            self.guide.advance(token, return_tokens=False)
        except Exception:  # noqa: BLE001 - a refused token raises
            return False
        return True


class LMFormatEnforcer:
    name = "lm-format-enforcer"
    mask_kind = "exact, pure Python, list of ids"
    # Its JSON parser allows a bounded run of white space between tokens.
    whitespace = "runs of at most 12 of [ \\t\\n\\r] between tokens (its default)"

    def __init__(self, table: TokenTable) -> None:
        from lmformatenforcer import TokenEnforcerTokenizerData
        self.table = table
        self.version = metadata.version("lm-format-enforcer")
        tokens = table.tokens

        def decode(ids) -> str:
            return b"".join(tokens[i] for i in ids if i < len(tokens)).decode(
                "utf-8", errors="replace")

        self.data = TokenEnforcerTokenizerData(
            table.texts(), decode, table.eos, use_bitmask=False, vocab_size=table.size)
        self.allowed: set[int] = set()

    def compile(self, grammar: dict):
        from lmformatenforcer import JsonSchemaParser
        try:
            JsonSchemaParser(_schema_of(grammar))
        except Exception as error:  # noqa: BLE001
            raise Unsupported(f"{type(error).__name__}: {error}"[:300]) from error
        return _schema_of(grammar)

    def start(self, compiled) -> None:
        from lmformatenforcer import JsonSchemaParser, TokenEnforcer
        self.enforcer = TokenEnforcer(self.data, JsonSchemaParser(compiled))
        self.sequence: list[int] = []

    def prepare(self) -> None:
        pass

    def mask(self) -> None:
        # Applying the previous token's characters happens here, inside the
        # engine's own call: its advance is only the append below.
        self.result = self.enforcer.get_allowed_tokens(self.sequence)

    def allows(self, token: int) -> bool:
        return token in set(self.result.allowed_tokens)

    def advance(self, token: int) -> bool:
        self.sequence.append(token)
        return True

    def allows_end(self) -> bool:
        return self.allows(self.table.eos)


class Zel:
    name = "zel"
    # The grammar's own white space leaf: a run of at most 16 of [ \t\n\r].
    whitespace = "runs of at most 16 of [ \\t\\n\\r] between tokens"

    def __init__(self, table: TokenTable, vocabulary_path: str) -> None:
        import zel_core
        from zel.vocabularies import load_vocabulary
        self.table = table
        try:
            self.version = metadata.version("zel_core")
        except metadata.PackageNotFoundError:
            self.version = getattr(zel_core, "__version__", "dev")
        vocabulary = load_vocabulary(vocabulary_path)
        if vocabulary.size != table.eos:
            raise ValueError(f"zel's vocabulary has {vocabulary.size} ids, the table {table.eos}")
        self.engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode,
                                      control_tokens=[table.eos])
        self.exact = hasattr(self.engine, "fill_next_token_bitmask")
        if self.exact:
            self.mask_kind = "exact, int32 bitmask"
            self.words = np.zeros((1, (table.size + 31) // 32), dtype=np.int32)
        else:
            self.mask_kind = "inexact mask_invalid_tokens, float32 row"
            self.scores = np.zeros((1, table.size), dtype=np.float32)

    def compile(self, grammar: dict):
        import zel
        if grammar["kind"] == "json_object":
            from zel.json_grammar import json_object_grammar
            return json_object_grammar()
        if grammar["kind"] == "json_schema":
            front_door = getattr(zel, "json_schema", None)
            if front_door is None:
                try:
                    front_door = importlib.import_module("zel.json_schema")
                except ImportError:
                    pass
            # A submodule of that name holds a function of the same name.
            front_door = getattr(front_door, "json_schema", front_door)
            if not callable(front_door):
                raise Unsupported("zel.json_schema is not there yet")
            try:
                return front_door(grammar["schema"])
            except Exception as error:  # noqa: BLE001
                raise Unsupported(f"{type(error).__name__}: {error}"[:300]) from error
        raise Unsupported(f"grammar kind {grammar['kind']!r}")

    def start(self, compiled) -> None:
        self.engine.state_machine = compiled
        self.engine.reset()

    def prepare(self) -> None:
        if not self.exact:
            self.scores.fill(0.0)

    def mask(self) -> None:
        if self.exact:
            self.engine.fill_next_token_bitmask(self.words, 0)
        else:
            self.engine.mask_invalid_tokens(self.scores)

    def allows(self, token: int) -> bool:
        if self.exact:
            return _bit(self.words[0], token)
        return bool(np.isfinite(self.scores[0, token]))

    def advance(self, token: int) -> bool:
        return self.engine.consume(token, token_healing=False) is not None

    def allows_end(self) -> bool:
        if self.exact:
            return self.allows(self.table.eos)
        # The inexact mask lets a control token through only where it is
        # also a listed continuation, which the end of text never is: ask the
        # Engine whether the grammar may end instead.
        return self.engine.has_reached_accept_state


PEERS = {engine.name: engine for engine in (LLGuidance, XGrammar, OutlinesCore, LMFormatEnforcer)}
