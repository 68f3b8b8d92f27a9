"""zel: constrain a language model's output to a JSON Schema, a regular
expression or a grammar, on the zel_core engine.

The front door:

- ``json_schema(schema)``: JSON documents a JSON Schema admits (a dict, a
  JSON text or a pydantic model class)
- ``regex(pattern)``: texts matching a regular expression as a whole
- ``grammar(text)``: a GBNF grammar (llama.cpp's dialect)
- ``json_object()``: any JSON object
- ``literal``, ``choice``, ``sequence``, ``optional``, ``repetition``: to
  compose grammars of your own

Each returns a ``zel_core.StateMachine``, for ``Engine.state_machine`` or as
part of another grammar. The submodules hold the rest: Python leaves
(``zel.leaves``), the JSON kit (``zel.json_grammar``), vocabularies and
decoding loops.
"""

from .combinators import choice, literal, optional, regex, repetition, sequence
from .gbnf import GrammarError, grammar
from .json_grammar import DEFAULT_MAX_WHITESPACE as _OBJECT_WHITESPACE
from .json_grammar import json_object_grammar as _json_object_grammar
from .schema import SchemaError, UnsupportedSchema, json_schema


def json_object(max_whitespace: int = _OBJECT_WHITESPACE):
    """Any JSON object, with runs of at most ``max_whitespace`` white-space
    characters between tokens (``zel.json_grammar.json_object_grammar``)."""
    return _json_object_grammar(max_whitespace)


__all__ = ["GrammarError", "SchemaError", "UnsupportedSchema", "choice", "grammar", "json_object",
           "json_schema", "literal", "optional", "regex", "repetition", "sequence"]
