"""JSON Schema to grammar: ``json_schema(schema)`` returns a
``zel_core.StateMachine`` whose texts are exactly the JSON documents the
schema admits, within the forms the compiler writes (properties in the
schema's order, white space in bounded runs).

Scalars (strings, numbers, enums, ...) become native ``Regex`` leaves, the
pattern of each worked out here; objects and arrays become machines whose
edges carry those leaves, so that a Stepper's ``get_identifier()`` names the
property being written. Separators are folded into the leaf that follows
them (``, "key": `` is one leaf), which keeps leaves few and each boundary
between two leaves unambiguous. A schema reached again while it is being
compiled (recursion through ``$ref``) becomes a machine filled in afterwards.

A keyword the compiler cannot honour raises ``UnsupportedSchema`` naming it
and its JSON pointer; nothing is dropped or loosened quietly. A schema that
is itself wrong raises ``SchemaError``.
"""

from __future__ import annotations

import json
import math
from typing import Any, Union
from urllib.parse import unquote

import zel_core
from zel_core.leaves import Regex

from .errors import SchemaError, Unsatisfiable, UnsupportedSchema
from .formats import FORMATS
from .number_patterns import integer_range, is_whole, number_range
from .string_patterns import (ANY_JSON_CHARACTER, complement, json_characters, literal,
                              string_body_pattern, subtract)

#: Longest run of white space between two tokens, by default.
DEFAULT_MAX_WHITESPACE = 16

# Keywords that constrain values and that the compiler does not turn into a
# grammar (some are accepted in trivial forms, checked where they are used).
_UNSUPPORTED = ("not", "if", "then", "else", "dependentSchemas", "dependentRequired",
                "dependencies", "propertyNames", "unevaluatedProperties", "unevaluatedItems",
                "contains", "minContains", "maxContains", "$dynamicRef", "$recursiveRef")
# Formats JSON Schema defines that the compiler does not write.
_UNMADE_FORMATS = ("iri", "iri-reference", "uri-template", "json-pointer",
                   "relative-json-pointer", "regex")
_TYPES = ("null", "boolean", "object", "array", "string", "number", "integer")
_OBJECT_KEYWORDS = ("properties", "required", "additionalProperties", "patternProperties",
                    "minProperties", "maxProperties")
_ARRAY_KEYWORDS = ("items", "prefixItems", "additionalItems", "minItems", "maxItems",
                   "uniqueItems")
_STRING_KEYWORDS = ("minLength", "maxLength", "pattern", "format")
_NUMBER_KEYWORDS = ("minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum", "multipleOf")
_ANNOTATIONS = ("title", "description", "default", "examples", "$schema", "$id", "id",
                "$comment", "readOnly", "writeOnly", "deprecated", "$anchor", "$defs",
                "definitions", "contentEncoding", "contentMediaType")

_KNOWN = frozenset(_UNSUPPORTED + _OBJECT_KEYWORDS + _ARRAY_KEYWORDS + _STRING_KEYWORDS
                   + _NUMBER_KEYWORDS + ("type", "enum", "const", "anyOf", "oneOf", "allOf",
                                         "$ref"))
Node = Union[str, zel_core.StateMachine]  # a native pattern, or a machine
_ANY: dict = {}


def _pointer(where: str, *parts: Any) -> str:
    for part in parts:
        where += "/" + str(part).replace("~", "~0").replace("/", "~1")
    return where


def _group(pattern: str) -> str:
    return f"(?:{pattern})"


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "integer" if value.is_integer() else "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    if isinstance(value, dict):
        return "object"
    raise SchemaError(f"{type(value).__name__} is not a JSON value")


class SchemaCompiler:
    """Compiles one schema document (its ``$ref``s point into it)."""

    def __init__(self, root: Any, max_whitespace: int | None = DEFAULT_MAX_WHITESPACE):
        self.root = root
        if max_whitespace is None or max_whitespace <= 0:
            self.ws = ""
        else:
            self.ws = f"[ \\t\\n\\r]{{0,{int(max_whitespace)}}}"
        # id(schema) -> (schema, node); the schema is held so its id stays its own.
        self.done: dict[int, tuple[Any, Node]] = {}
        self.active: set[int] = set()
        self.later: dict[int, zel_core.StateMachine] = {}
        self.derived: dict[tuple, dict] = {}
        self.leaves: dict[tuple, zel_core.StateMachine] = {}

    # ------------------------------------------------------------ plumbing

    def machine(self, node: Node, identifier: str | None = None) -> zel_core.StateMachine:
        if isinstance(node, str):
            key = (node, identifier)
            leaf = self.leaves.get(key)
            if leaf is None:
                leaf = self.leaves[key] = Regex(node, identifier=identifier)
            return leaf
        return node

    def derive(self, key: tuple, make) -> dict:
        """A schema made from others (a merge), made once per ``key`` so that
        meeting it again during recursion finds the same object."""
        made = self.derived.get(key)
        if made is None:
            made = self.derived[key] = make()
        return made

    def compile(self, schema: Any, where: str) -> Node:
        if schema is True:
            schema = _ANY
        if schema is False:
            raise Unsatisfiable("the schema false admits no value", "false", where)
        if not isinstance(schema, dict):
            raise SchemaError(f"a schema must be an object or a boolean, not {schema!r}"[:200],
                              where)
        key = id(schema)
        if key in self.done:
            return self.done[key][1]
        if key in self.active:
            placeholder = self.later.get(key)
            if placeholder is None:
                placeholder = self.later[key] = zel_core.StateMachine()
            return placeholder
        self.active.add(key)
        try:
            node = self.compile_new(schema, where)
        except (SchemaError, UnsupportedSchema):
            raise
        except ValueError as error:  # an automaton past the leaves' limits
            raise UnsupportedSchema(str(error), "size", where) from None
        finally:
            self.active.discard(key)
        placeholder = self.later.pop(key, None)
        if placeholder is not None:
            placeholder.state_graph = {0: [(self.machine(node), "$")]}
        self.done[key] = (schema, node)
        return node

    def resolve(self, reference: Any, where: str) -> tuple[Any, str]:
        if not isinstance(reference, str):
            raise SchemaError("$ref must be a string", where)
        if not reference.startswith("#"):
            raise UnsupportedSchema(f"only references within the document are followed, "
                                    f"not {reference!r}", "$ref", where)
        target = self.root
        pointer = unquote(reference[1:])
        if pointer and not pointer.startswith("/"):
            raise UnsupportedSchema(f"anchor references like {reference!r}", "$ref", where)
        for part in pointer.split("/")[1:] if pointer else []:
            part = part.replace("~1", "/").replace("~0", "~")
            if isinstance(target, dict) and part in target:
                target = target[part]
            elif isinstance(target, list) and part.isdigit() and int(part) < len(target):
                target = target[int(part)]
            else:
                raise SchemaError(f"$ref {reference!r} points at nothing", where)
        return target, "#" + pointer

    def flatten(self, schema: Any, where: str, seen: tuple = ()) -> Any:
        """``schema`` with its ``$ref`` and ``allOf`` merged in, where it has
        them (recursion only through other keywords)."""
        if not isinstance(schema, dict) or ("$ref" not in schema and "allOf" not in schema):
            return schema
        if id(schema) in seen:
            raise UnsupportedSchema("a schema that is its own $ref or allOf part", "$ref", where)
        seen = seen + (id(schema),)

        def make():
            rest = {k: v for k, v in schema.items() if k not in ("$ref", "allOf")}
            parts = []
            if "$ref" in schema:
                target, target_where = self.resolve(schema["$ref"], where)
                parts.append((self.flatten(target, target_where, seen), target_where))
            if "allOf" in schema:
                if not isinstance(schema["allOf"], list) or not schema["allOf"]:
                    raise SchemaError("allOf must be a non-empty list", _pointer(where, "allOf"))
                for index, part in enumerate(schema["allOf"]):
                    part_where = _pointer(where, "allOf", index)
                    parts.append((self.flatten(part, part_where, seen), part_where))
            # Properties of the parts come first when the parts come before
            # the schema's own properties.
            keys = list(schema)
            first = min(keys.index(k) for k in ("$ref", "allOf") if k in schema)
            parts_first = "properties" in schema and first < keys.index("properties")
            merged = {} if parts_first else rest
            for part, part_where in parts:
                merged = merge(merged, part, part_where)
            return merge(merged, rest, where) if parts_first else merged

        if "allOf" not in schema and set(schema) - {"$ref", *_ANNOTATIONS} == set():
            target, target_where = self.resolve(schema["$ref"], where)
            return self.flatten(target, target_where, seen)
        return self.derive(("flat", id(schema)), make)

    # ------------------------------------------------------------ values

    def compile_new(self, schema: dict, where: str) -> Node:
        if "$ref" in schema or "allOf" in schema:
            flat = self.flatten(schema, where)
            if flat is True or flat == {}:
                flat = _ANY
            return self.compile(flat, where)
        for keyword in _UNSUPPORTED:
            if keyword in schema:
                raise UnsupportedSchema("not turned into a grammar", keyword, _pointer(where, keyword))
        if "anyOf" in schema and "oneOf" in schema:
            raise UnsupportedSchema("anyOf beside oneOf", "oneOf", _pointer(where, "oneOf"))
        for keyword in ("anyOf", "oneOf"):
            if keyword in schema:
                return self.alternatives(schema, keyword, where)
        if "const" in schema or "enum" in schema:
            return self.constants(schema, where)
        return self.typed(schema, where)

    def alternatives(self, schema: dict, keyword: str, where: str) -> Node:
        options = schema[keyword]
        if not isinstance(options, list) or not options:
            raise SchemaError(f"{keyword} must be a non-empty list", _pointer(where, keyword))
        base = {k: v for k, v in schema.items() if k != keyword and k not in _ANNOTATIONS}
        # The alternatives' properties come first when the keyword comes
        # before the shared ones (as it does in a merged allOf whose first
        # part holds it).
        keys = list(schema)
        options_first = "properties" in schema and keys.index(keyword) < keys.index("properties")
        nodes = []
        for index, option in enumerate(options):
            option_where = _pointer(where, keyword, index)
            if option is False:
                continue
            if base:
                def merged(o=option, w=option_where):
                    flat = self.flatten(o, w)
                    return merge(flat, base, w) if options_first else merge(base, flat, w)

                option = self.derive(("with", id(schema), index), merged)
            try:
                nodes.append(self.compile(option, option_where))
            except Unsatisfiable:
                continue
        return self.choose(nodes, where)

    def choose(self, nodes: list, where: str) -> Node:
        if not nodes:
            raise Unsatisfiable("no alternative admits a value", "anyOf", where)
        if len(nodes) == 1:
            return nodes[0]
        patterns = [node for node in nodes if isinstance(node, str)]
        if len(patterns) == len(nodes):
            return "|".join(_group(pattern) for pattern in patterns)
        # Each alternative into a state of its own (see zel.combinators).
        machines = [self.machine(node) for node in nodes]
        return zel_core.StateMachine(
            {0: [(machine, index + 1) for index, machine in enumerate(machines)]},
            end_states=list(range(1, len(machines) + 1)))

    def constants(self, schema: dict, where: str) -> Node:
        if "const" in schema:
            values, keyword = [schema["const"]], "const"
        else:
            values, keyword = schema["enum"], "enum"
            if not isinstance(values, list):
                raise SchemaError("enum must be a list", _pointer(where, "enum"))
        types = schema.get("type")
        if isinstance(types, str):
            types = [types]
        nodes = []
        for index, value in enumerate(values):
            kind = _json_type(value)
            if types is not None and kind not in types and not (
                    kind == "integer" and "number" in types):
                continue
            nodes.append(self.constant(value, _pointer(where, keyword, index)))
        if not nodes:
            raise Unsatisfiable("no listed value has an allowed type", keyword, where)
        return self.choose(nodes, where)

    def constant(self, value: Any, where: str) -> Node:
        if isinstance(value, dict):
            return self.compile(self.derive(("const", id(value)), lambda: {
                "type": "object", "properties": {k: {"const": v} for k, v in value.items()},
                "required": list(value), "additionalProperties": False}), where)
        if isinstance(value, list):
            return self.compile(self.derive(("const", id(value)), lambda: {
                "type": "array", "prefixItems": [{"const": v} for v in value],
                "items": False, "minItems": len(value)}), where)
        if isinstance(value, float) and value.is_integer() and abs(value) < 2 ** 63:
            value = int(value)
        if isinstance(value, str):
            return '"' + "".join(json_characters([(ord(c), ord(c))]) for c in value) + '"'
        return literal(json.dumps(value))

    def typed(self, schema: dict, where: str) -> Node:
        types = schema.get("type")
        if types is None:
            types = list(_TYPES)
        elif isinstance(types, str):
            types = [types]
        if not isinstance(types, list) or not all(t in _TYPES for t in types):
            raise SchemaError(f"unknown type {schema.get('type')!r}", _pointer(where, "type"))
        if "number" in types and "integer" in types:
            types = [t for t in types if t != "integer"]
        nodes: list[Node] = []
        for kind in dict.fromkeys(types):
            if kind == "null":
                nodes.append("null")
            elif kind == "boolean":
                nodes.append("true|false")
            elif kind == "string":
                nodes.append(self.string(schema, where))
            elif kind in ("number", "integer"):
                node = self.number(schema, where, kind == "integer")
                if node is not None:
                    nodes.append(node)
            elif kind == "object":
                nodes.append(self.object(schema, where))
            else:
                nodes.append(self.array(schema, where))
        return self.choose(nodes, where)

    # ------------------------------------------------------------ scalars

    def string(self, schema: dict, where: str) -> str:
        used = [k for k in ("format", "pattern") if k in schema]
        if "format" in schema and schema["format"] not in FORMATS:
            if schema["format"] in _UNMADE_FORMATS:
                raise UnsupportedSchema(f"the format {schema['format']!r}", "format",
                                        _pointer(where, "format"))
            # A format JSON Schema does not define asserts nothing.
            schema = {k: v for k, v in schema.items() if k != "format"}
            used = [k for k in used if k != "format"]
        lengths = "minLength" in schema or "maxLength" in schema
        if len(used) + lengths > 1:
            keyword = "pattern" if "pattern" in used else ("minLength" if "minLength" in schema
                                                             else "maxLength")
            raise UnsupportedSchema(f"{' and '.join(used + (['length bounds'] if lengths else []))}"
                                    " together", keyword, _pointer(where, keyword))
        if "format" in schema:
            return '"' + _group(FORMATS[schema["format"]]) + '"'
        if "pattern" in schema:
            pattern = schema["pattern"]
            if not isinstance(pattern, str):
                raise SchemaError("pattern must be a string", _pointer(where, "pattern"))
            return '"' + string_body_pattern(pattern, _pointer(where, "pattern")) + '"'
        least = self.count(schema, "minLength", where) or 0
        most = self.count(schema, "maxLength", where)
        if most is not None and most < least:
            raise Unsatisfiable("maxLength below minLength admits no string", "maxLength",
                                    _pointer(where, "maxLength"))
        for keyword, bound in (("minLength", least), ("maxLength", most)):
            if bound is not None and bound > 10000:
                raise UnsupportedSchema("lengths above 10000", keyword, _pointer(where, keyword))
        if least == 0 and most is None:
            return f'"{ANY_JSON_CHARACTER}*"'
        return f'"{ANY_JSON_CHARACTER}{{{least},{"" if most is None else most}}}"'

    def count(self, schema: dict, keyword: str, where: str) -> int | None:
        value = schema.get(keyword)
        if value is None:
            return None
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0 or (
                isinstance(value, float) and not value.is_integer()):
            raise SchemaError(f"{keyword} must be a non-negative integer", _pointer(where, keyword))
        return int(value)

    def number(self, schema: dict, where: str, integer: bool) -> str | None:
        bounds = {}
        for keyword in _NUMBER_KEYWORDS:
            value = schema.get(keyword)
            if value is None:
                continue
            if isinstance(value, bool) and keyword.startswith("exclusive"):
                continue  # draft 4 flags, read below
            if isinstance(value, bool) or not isinstance(value, (int, float)) or (
                    isinstance(value, float) and not math.isfinite(value)):
                raise SchemaError(f"{keyword} must be a number", _pointer(where, keyword))
            bounds[keyword] = value
        multiple = bounds.pop("multipleOf", None)
        if multiple is not None:
            if multiple <= 0:
                raise SchemaError("multipleOf must be positive", _pointer(where, "multipleOf"))
            if multiple == 1:
                integer = True
            elif not (integer and is_whole(multiple) and int(multiple) == 1):
                raise UnsupportedSchema(f"multipleOf {multiple}", "multipleOf",
                                        _pointer(where, "multipleOf"))
        low = bounds.get("minimum")
        high = bounds.get("maximum")
        low_exclusive = schema.get("exclusiveMinimum") is True
        high_exclusive = schema.get("exclusiveMaximum") is True
        if "exclusiveMinimum" in bounds and (low is None or bounds["exclusiveMinimum"] >= low):
            low, low_exclusive = bounds["exclusiveMinimum"], True
        if "exclusiveMaximum" in bounds and (high is None or bounds["exclusiveMaximum"] <= high):
            high, high_exclusive = bounds["exclusiveMaximum"], True
        if integer:
            if low is not None:
                low = math.floor(low) + 1 if low_exclusive and is_whole(low) else math.ceil(low)
            if high is not None:
                high = math.ceil(high) - 1 if high_exclusive and is_whole(high) else math.floor(high)
            return integer_range(low, high)
        for keyword, bound in (("minimum", low), ("maximum", high)):
            if bound is not None and not is_whole(bound):
                raise UnsupportedSchema(f"a bound that is not a whole number ({bound})",
                                        keyword, _pointer(where, keyword))
        return number_range(low, low_exclusive, high, high_exclusive)

    # ------------------------------------------------------------ containers

    def key_pattern(self, key: str) -> str:
        return '"' + "".join(json_characters([(ord(c), ord(c))]) for c in key) + '"'

    def object(self, schema: dict, where: str) -> zel_core.StateMachine:
        properties = schema.get("properties", {})
        if not isinstance(properties, dict):
            raise SchemaError("properties must be an object", _pointer(where, "properties"))
        required = schema.get("required", [])
        if not isinstance(required, list) or not all(isinstance(r, str) for r in required):
            raise SchemaError("required must be a list of strings", _pointer(where, "required"))
        additional = schema.get("additionalProperties", True)
        patterns = schema.get("patternProperties", {})
        if patterns and additional is not False:
            raise UnsupportedSchema("patternProperties beside additional properties",
                                    "patternProperties", _pointer(where, "patternProperties"))
        listed = []  # (name, schema, where, required)
        for name, value in properties.items():
            value_where = _pointer(where, "properties", name)
            if value is False:
                if name in required:
                    raise UnsupportedSchema(f"the required property {name!r} is forbidden",
                                            "required", _pointer(where, "required"))
                continue
            listed.append((name, value, value_where, name in required))
        for name in dict.fromkeys(required):
            if name not in properties:
                if additional is False:
                    raise UnsupportedSchema(f"the required property {name!r} is not allowed",
                                            "required", _pointer(where, "required"))
                listed.append((name, additional, _pointer(where, "additionalProperties"), True))
        least = self.count(schema, "minProperties", where) or 0
        most = self.count(schema, "maxProperties", where)
        if least > sum(1 for entry in listed if entry[3]):
            raise UnsupportedSchema("minProperties above the required count", "minProperties",
                                    _pointer(where, "minProperties"))
        extras_allowed = additional is not False or bool(patterns)
        if most is not None and (extras_allowed or most < len(listed)):
            raise UnsupportedSchema("maxProperties below the properties allowed",
                                    "maxProperties", _pointer(where, "maxProperties"))

        ws = self.ws
        comma = f"{ws},{ws}" if ws else ","
        colon = f"{ws}:{ws}" if ws else ":"
        result = zel_core.StateMachine()

        def member(key_pattern: str, value: Node, first: bool, name: str | None):
            if name is None:
                # Keys of extra members have large automata: one leaf for
                # the key, shared by the first member and later ones. The
                # closing quote ends a key, so the cuts around it are exact.
                parts = [] if first else [self.machine(comma)]
                parts += [self.machine(key_pattern), self.machine(colon + _group(value))
                          if isinstance(value, str) else self.machine(colon), ]
                if not isinstance(value, str):
                    parts.append(value)
                return zel_core.StateMachine(
                    {index: [(part, index + 1 if index + 1 < len(parts) else "$")]
                     for index, part in enumerate(parts)})
            prefix = ("" if first else comma) + key_pattern + colon
            if isinstance(value, str):
                return self.machine(prefix + _group(value), name)
            return zel_core.StateMachine({0: [(self.machine(prefix), 1)], 1: [(value, "$")]},
                                         identifier=name)

        members = []
        kept = []
        for entry in listed:
            name, value, value_where, needed = entry
            try:
                node = self.compile(value, value_where)
            except Unsatisfiable:
                if needed:
                    raise
                continue  # a property that can take no value cannot appear
            kept.append(entry)
            key = self.key_pattern(name)
            members.append((member(key, node, True, name), member(key, node, False, name)))
        listed = kept
        extras = []
        if additional is not False:
            # Every property the schema names is kept from the extras, also
            # one whose schema admits no value (it may not appear at all).
            named = list(dict.fromkeys(list(properties) + [name for name, *_ in listed]))
            key = '"' + _string_except(named) + '"'
            node = self.compile(additional, _pointer(where, "additionalProperties"))
            extras.append((member(key, node, True, None), member(key, node, False, None)))
        for pattern, value in patterns.items():
            pattern_where = _pointer(where, "patternProperties", pattern)
            key = '"' + string_body_pattern(pattern, pattern_where) + '"'
            node = self.compile(value, pattern_where)
            extras.append((member(key, node, True, None), member(key, node, False, None)))

        count = len(listed)
        graph: dict = {0: [(self.machine(r"\{" + ws), 1)]}
        close = self.machine(ws + r"\}")

        turns = 1 + 2 * len(extras)

        def state(index: int, started: bool, turn: int = 0) -> int:
            return 1 + (2 * index + started) * turns + turn

        def extra_turn(extra: int, turn: int) -> int:
            first = 1 + 2 * extra
            return first + 1 if turn == first else first

        # States: (properties decided, any member written, turn). Turn 0
        # follows a listed member; extra member k leads to turn 2k+1, or
        # 2k+2 from 2k+1: an edge back into its own state is refused while
        # the value that led there can still read more, and edges out of one
        # state lead to distinct states, so the core never merges Steppers
        # of two different extras.
        pending = [(0, False, 0)]
        seen = set(pending)
        while pending:
            index, started, turn = pending.pop()
            edges: list[tuple[zel_core.StateMachine, int | str]] = []
            ends = True
            for later in range(index, count):
                edges.append((members[later][started], state(later + 1, True)))
                if listed[later][3]:
                    ends = False
                    break
            edges += [(extra[started], state(index, True, extra_turn(k, turn)))
                      for k, extra in enumerate(extras)]
            if ends:
                edges.append((close, "$"))
            graph[state(index, started, turn)] = edges
            for _, target in edges:
                if isinstance(target, int):
                    rest, target_turn = divmod(target - 1, turns)
                    position = (rest // 2, bool(rest % 2), target_turn)
                    if position not in seen:
                        seen.add(position)
                        pending.append(position)
        result.state_graph = graph
        return result

    def array(self, schema: dict, where: str) -> zel_core.StateMachine:
        prefix = schema.get("prefixItems")
        items = schema.get("items", True)
        if isinstance(items, list):  # draft 4 to 2019-09 tuples
            prefix, items = items, schema.get("additionalItems", True)
        prefix = prefix or []
        if not isinstance(prefix, list):
            raise SchemaError("prefixItems must be a list", _pointer(where, "prefixItems"))
        least = self.count(schema, "minItems", where) or 0
        most = self.count(schema, "maxItems", where)
        if items is False:
            most = len(prefix) if most is None else min(most, len(prefix))
        if most is not None and most < least:
            raise Unsatisfiable("maxItems below minItems admits no array", "maxItems",
                                    _pointer(where, "maxItems"))
        if schema.get("uniqueItems") is True and (most is None or most > 1):
            raise UnsupportedSchema("items that must differ", "uniqueItems",
                                    _pointer(where, "uniqueItems"))
        if most is not None and most > 10000:
            raise UnsupportedSchema("more than 10000 items", "maxItems",
                                    _pointer(where, "maxItems"))
        ws = self.ws
        comma = f"{ws},{ws}" if ws else ","
        result = zel_core.StateMachine()
        made: dict = {}

        def item(position: int, first: bool):
            key: tuple
            if position < len(prefix):
                key, value, value_where = ("prefix", position), prefix[position], \
                    _pointer(where, "prefixItems" if "prefixItems" in schema else "items", position)
            else:
                key, value, value_where = ("items",), items, _pointer(
                    where, "items" if not isinstance(schema.get("items"), list) else "additionalItems")
            key = key + (first,)
            if key not in made:
                node = self.compile(value, value_where)
                if first:
                    made[key] = self.machine(node)
                elif isinstance(node, str):
                    made[key] = self.machine(comma + _group(node))
                else:
                    made[key] = zel_core.StateMachine({0: [(self.machine(comma), 1)],
                                                       1: [(node, "$")]})
            return made[key]

        close = self.machine(ws + r"\]")
        graph: dict = {0: [(self.machine(r"\[" + ws), 1)]}
        loop_from = max(len(prefix), least, 1)
        for count in range(0, (most if most is not None else loop_from) + 1):
            edges: list[tuple[zel_core.StateMachine, int | str]] = []
            if most is None or count < most:
                edges.append((item(count, count == 0), 2 + count))
            if count >= least:
                edges.append((close, "$"))
            graph[1 + count] = edges
        if most is None:
            # Two states take turns for the items past the last counted one:
            # an edge back into its own state is refused while the item that
            # led there can still read more.
            graph[2 + loop_from] = [(item(loop_from, False), 1 + loop_from), (close, "$")]
        result.state_graph = graph
        return result


def _string_except(keys: list[str]) -> str:
    """A native pattern for the JSON text (between quotes) of any string
    other than ``keys``, each spelt plainly: a string that parts from every
    key at some character and goes on freely, or that stops short of every
    key on the way (the two halves keep the automaton about twice the size
    of the keys' trie)."""
    if not keys:
        return ANY_JSON_CHARACTER + "*"
    trie: dict = {}
    for key in keys:
        node = trie
        for c in key:
            node = node.setdefault(c, {})
        node[""] = {}

    plain_keys = not any(c in '"\\' or c < " " for key in keys for c in key)

    def parting(node: dict, escapes: bool) -> str:
        """Where a string parts from the keys: at a character no key has
        there; with ``escapes``, escaped characters included (else they are
        left to a branch of their own, sharing one tail)."""
        children = sorted(c for c in node if c)
        options = []
        others = complement([(ord(c), ord(c)) for c in children])
        if not escapes:
            others = subtract(others, [(0, 0x1F), (0x22, 0x22), (0x5C, 0x5C)])
        if others:
            options.append(json_characters(others))
        for c in children:
            options.append(json_characters([(ord(c), ord(c))]) + parting(node[c], escapes))
        return options[0] if len(options) == 1 else "(?:" + "|".join(options) + ")"

    def backslash(node: dict) -> str:
        children = sorted(c for c in node if c)
        options = ["\\\\"] + [json_characters([(ord(c), ord(c))]) + backslash(node[c])
                                  for c in children]
        return options[0] if len(options) == 1 else "(?:" + "|".join(options) + ")"

    def short(node: dict) -> str | None:
        options = [] if "" in node else [""]
        for c in sorted(c for c in node if c):
            rest = short(node[c])
            if rest is not None:
                options.append(json_characters([(ord(c), ord(c))]) + rest)
        if not options:
            return None
        return options[0] if len(options) == 1 else "(?:" + "|".join(options) + ")"

    stops = short(trie)
    if plain_keys:
        escape = r'(?:["\\/bfnrt]|u[0-9a-fA-F]{4})'
        parted = (f"{parting(trie, False)}{ANY_JSON_CHARACTER}*"
                  f"|{backslash(trie)}{escape}{ANY_JSON_CHARACTER}*")
    else:
        parted = f"{parting(trie, True)}{ANY_JSON_CHARACTER}*"
    return f"(?:{parted}" + (f"|{stops})" if stops is not None else ")")


def merge(a: Any, b: Any, where: str) -> Any:
    """The schema both ``a`` and ``b`` hold for (allOf), where the merge is
    exact; otherwise ``UnsupportedSchema`` for allOf."""
    if a is True or a == {}:
        return b
    if b is True or b == {}:
        return a
    if a is False or b is False:
        raise UnsupportedSchema("an allOf part that admits nothing", "allOf", where)
    if not isinstance(a, dict) or not isinstance(b, dict):
        raise SchemaError("a schema must be an object or a boolean", where)
    result = dict(a)
    for key, value in b.items():
        if key in _ANNOTATIONS or key not in _KNOWN:
            result.setdefault(key, value)
        elif key not in result or result[key] == value:
            result[key] = value
        elif key == "properties":
            merged = dict(result[key])
            for name, sub in value.items():
                merged[name] = merge(merged[name], sub, _pointer(where, "properties", name)) \
                    if name in merged else sub
            result[key] = merged
        elif key == "required":
            result[key] = list(dict.fromkeys(list(result[key]) + list(value)))
        elif key == "type":
            left = [result[key]] if isinstance(result[key], str) else list(result[key])
            right = [value] if isinstance(value, str) else list(value)
            both = [t for t in left if t in right or (t == "integer" and "number" in right)]
            both += [t for t in right if t == "integer" and "number" in left and t not in both]
            if not both:
                raise UnsupportedSchema("allOf parts with no type in common", "allOf", where)
            result[key] = both[0] if len(both) == 1 else both
        elif key in ("minimum", "minLength", "minItems", "minProperties", "exclusiveMinimum") \
                and not isinstance(value, bool):
            result[key] = max(result[key], value)
        elif key in ("maximum", "maxLength", "maxItems", "maxProperties", "exclusiveMaximum") \
                and not isinstance(value, bool):
            result[key] = min(result[key], value)
        elif key == "enum":
            result[key] = [v for v in result[key] if v in value]
        else:
            raise UnsupportedSchema(f"parts that both set {key!r}", "allOf", where)
    for side, other in ((a, b), (b, a)):
        if side.get("additionalProperties", True) is not True and any(
                name not in side.get("properties", {}) for name in other.get("properties", {})):
            raise UnsupportedSchema("additionalProperties of one part against properties of "
                                    "another", "allOf", where)
    return result


def json_schema(schema: Any, *, max_whitespace: int | None = DEFAULT_MAX_WHITESPACE,
                compact: bool = False) -> zel_core.StateMachine:
    """A grammar for the JSON documents that ``schema`` admits.

    ``schema``: a dict (or ``True``), a JSON text, or a pydantic model class.
    Properties come in the schema's order; white space between tokens comes
    in runs of at most ``max_whitespace`` characters, none with
    ``compact=True``. Raises ``UnsupportedSchema`` for a keyword (or a form
    of one) the compiler does not turn into a grammar, ``SchemaError`` for a
    schema that is itself wrong.
    """
    if isinstance(schema, (str, bytes)):
        try:
            schema = json.loads(schema)
        except ValueError as error:
            raise SchemaError(f"the schema is not JSON: {error}") from None
    elif isinstance(schema, type) and hasattr(schema, "model_json_schema"):
        schema = schema.model_json_schema()
    compiler = SchemaCompiler(schema, None if compact else max_whitespace)
    return compiler.machine(compiler.compile(schema, "#"))
