"""The demo's schema, a person with a name, an age and hobbies, as a grammar.

``person_grammar()`` uses ``zel.json_schema`` where the package has it, and
otherwise builds the same constraint from the JSON kit's native leaves: the
properties in the schema's order, strings and the array bounded so that a
small model always reaches the end, white space between tokens bounded too.
"""

from __future__ import annotations

import json

import zel_core
from zel.json_grammar import Punctuation, WhitespaceMachine
from zel_core.leaves import Literal, Regex

PERSON_SCHEMA = {
    "type": "object",
    "properties": {
        "name": {"type": "string", "minLength": 1, "maxLength": 40},
        "age": {"type": "integer", "minimum": 0, "maximum": 149},
        "hobbies": {"type": "array", "items": {"type": "string", "minLength": 1, "maxLength": 30},
                    "minItems": 1, "maxItems": 5},
    },
    "required": ["name", "age", "hobbies"],
    "additionalProperties": False,
}


def _string(least: int, most: int, identifier: str) -> zel_core.StateMachine:
    character = r'([^"\\\x00-\x1f]|\\["\\/bfnrt])'
    return Regex(f'"{character}{{{least},{most}}}"', identifier=identifier, value=json.loads)


def _sequence(parts: list[zel_core.StateMachine], identifier: str) -> zel_core.StateMachine:
    graph = {i: [(part, i + 1)] for i, part in enumerate(parts)}
    graph[len(parts) - 1] = [(parts[-1], "$")]
    return zel_core.StateMachine(graph, identifier=identifier)


def _bounded_array(item: zel_core.StateMachine, least: int, most: int, ws) -> zel_core.StateMachine:
    """``[item, ...]`` with ``least`` to ``most`` items, unrolled into states."""
    graph: dict = {0: [(Punctuation("["), 1)], 1: [(ws, 2)]}
    state = 2
    for count in range(1, most + 1):
        graph[state] = [(item, state + 1)]
        graph[state + 1] = [(ws, state + 2)]
        close = [(Punctuation("]"), "$")] if count >= least else []
        more = [(Punctuation(","), state + 3)] if count < most else []
        graph[state + 2] = more + close
        if more:
            graph[state + 3] = [(ws, state + 4)]
        state += 4
    return zel_core.StateMachine(graph, identifier="array")


def _kit_grammar(max_whitespace: int = 4) -> zel_core.StateMachine:
    ws = WhitespaceMachine(max_whitespace)
    properties = PERSON_SCHEMA["properties"]
    values = {
        "name": _string(properties["name"]["minLength"], properties["name"]["maxLength"], "name"),
        "age": Regex(r"0|[1-9][0-9]?|1[0-4][0-9]", identifier="age", value=int),
        "hobbies": _bounded_array(_string(1, 30, "hobby"), 1, 5, ws),
    }
    parts: list[zel_core.StateMachine] = [ws, Punctuation("{")]
    for index, (key, value) in enumerate(values.items()):
        if index:
            parts += [ws, Punctuation(",")]
        parts += [ws, Literal(json.dumps(key)), ws, Punctuation(":"), ws, value]
    parts += [ws, Punctuation("}")]
    return _sequence(parts, "person")


def person_grammar() -> zel_core.StateMachine:
    try:
        from zel import json_schema
    except ImportError:
        return _kit_grammar()
    return json_schema(PERSON_SCHEMA)
