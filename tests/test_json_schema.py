"""zel.json_schema: documents a schema admits are accepted, others refused (random schemas and
instances too); recursion, formats, numeric ranges, errors naming keyword and place."""

import json
import re
import string

import pytest
import zel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from zel.schema.number_patterns import integer_range, number_range

from frontend_kit import accepted, accepts, live


def dumps(value):
    return json.dumps(value, ensure_ascii=False)


PERSON = {"type": "object", "required": ["name", "age"], "additionalProperties": False, "properties": {
    "name": {"type": "string", "minLength": 1, "maxLength": 8},
    "age": {"type": "integer", "minimum": 0, "maximum": 130}, "email": {"type": "string", "format": "email"},
    "tags": {"type": "array", "items": {"enum": ["a", "b"]}, "maxItems": 2}}}
TREE = {"$defs": {"node": {"type": "object", "properties": {
    "v": {"type": "integer"}, "kids": {"type": "array", "items": {"$ref": "#/$defs/node"}}},
    "required": ["v"], "additionalProperties": False}}, "$ref": "#/$defs/node"}
LIST = {"definitions": {"list": {"anyOf": [{"type": "null"}, {"type": "object", "properties": {
    "head": {"type": "string"}, "tail": {"$ref": "#/definitions/list"}},
    "required": ["head", "tail"], "additionalProperties": False}]}}, "$ref": "#/definitions/list"}
# Properties whose schema admits no value: they and the empty alternative go.
UNWRITABLE = {"type": "object", "additionalProperties": False, "properties": {
    "never": {"type": "object", "enum": ["a"]},
    "n": {"anyOf": [{"type": "string", "minLength": 3, "maxLength": 1}, {"type": "integer"}]}}}

CASES = [
    (PERSON,
     [{"name": "Ann", "age": 0}, {"name": "Bo", "age": 130, "tags": []},
      {"name": "é日", "age": 42, "email": "a.b@c.org", "tags": ["b", "a"]}],
     [{"name": "", "age": 1}, {"name": "Ann"}, {"age": 3, "name": "Ann"}, {"name": "123456789", "age": 1},
      {"name": "Ann", "age": 131}, {"name": "Ann", "age": -1}, {"name": "Ann", "age": 1.5},
      {"name": "Ann", "age": 1, "x": 1}, {"name": "Ann", "age": 1, "email": "nope"},
      {"name": "Ann", "age": 1, "tags": ["a", "b", "a"]}, {"name": "Ann", "age": 1, "tags": ["c"]}]),
    ({"type": "object", "properties": {"a": {"type": "integer"}}},
     [{}, {"a": 1}, {"b": [1, {"c": None}]}, {"a": 2, "ab": 3, "": "x"}, {"zz": 1, "a": 3}],
     [{"a": "x"}, {"a": None}, []]),
    ({"type": "array", "prefixItems": [{"type": "string"}, {"type": "boolean"}], "items": False},
     [["x", True], ["", False], ["x"], []], [[True, "x"], ["x", True, 1], [1]]),
    ({"anyOf": [{"type": "string", "pattern": "^[A-Z]{2}-\\d+$"}, {"type": "null"}]},
     ["AB-12", None], ["ab-12", "AB-", "XAB-1", 3]),
    ({"type": "string", "pattern": "o\"b"}, ['fo"bar', 'o"b'], ["fob", 'o"', ""]),
    ({"const": {"k": [1, "two"]}}, [{"k": [1, "two"]}], [{"k": [1]}, {"k": [1, "two"], "x": 1}]),
    ({"type": ["integer", "boolean"], "maximum": -5}, [-5, -100, True], [-4, 0, 5, None]),
    ({"allOf": [{"type": "object", "properties": {"a": {"type": "string"}}, "required": ["a"]},
                {"properties": {"b": {"type": "integer"}}, "required": ["b"]}]},
     [{"a": "x", "b": 1}], [{"a": "x"}, {"b": 1}, {"a": 1, "b": 1}]),
    ({"enum": ["x\ny", 3, None, "q\""]}, ["x\ny", 3, None, 'q"'], ["x", 4, "xy", 3.5]),
    (TREE, [{"v": 1, "kids": [{"v": 2, "kids": [{"v": 3, "kids": []}]}, {"v": 4}]}],
     [{"v": 1, "kids": [{"kids": []}]}]),
    (LIST, [{"head": "a", "tail": {"head": "b", "tail": None}}], [{"head": "a", "tail": {"head": "b"}}]),
    (UNWRITABLE, [{"n": 3}], [{"never": "a"}, {"n": ""}]),
    ({**UNWRITABLE, "additionalProperties": True}, [{"other": 1}], [{"never": "a"}]),
    ({"type": "object", "properties": {"foo": {"type": "string"}}, "additionalProperties": False,
      "patternProperties": {"^S_": {"type": "string"}, "^I_": {"type": "integer"}}},
     [{"foo": "bar", "S_foo": "x", "I_foo": 123, "S_b": ""}], [{"I_foo": "x"}, {"X": 1}]),
] + [({"type": "string", "format": form}, good, bad) for form, good, bad in [
    ("date", ["2024-02-29", "2000-02-29", "1999-12-31", "2023-04-30"],
     ["2024-13-01", "24-01-01", "2024-1-1", "2023-02-29", "1900-02-29", "1000-02-29", "2023-04-31"]),
    ("time", ["23:59:60Z", "01:02:03.5+05:30"], ["24:00:00Z", "01:02:03"]),
    ("date-time", ["2024-01-02T03:04:05Z"], ["2024-01-02 03:04", "2024-01-02T03:04:05"]),
    ("email", ["a.b+c@example.co"], ["a@", "@b.c", "a b@c.d"]),
    ("uuid", ["123e4567-e89b-12d3-a456-426614174000"], ["123e4567e89b12d3a456426614174000"]),
    ("uri", ["https://x.org/a?b=c#d", "urn:isbn:1"], ["no scheme", "//x.org"]),
    ("ipv4", ["0.0.0.0", "255.255.255.255"], ["256.1.1.1", "1.2.3", "01.2.3.4"]),
    ("int32", ["x"], []),  # formats JSON Schema does not define assert nothing
]]


@pytest.mark.parametrize("schema,valid,invalid", CASES)
def test_valid_documents_are_accepted_and_others_refused(schema, valid, invalid):
    for grammar in (zel.json_schema(schema), zel.json_schema(json.dumps(schema))):
        answers = [accepts(grammar, dumps(value)) for value in valid + invalid]
        assert answers == [True] * len(valid) + [False] * len(invalid)


def test_white_space_is_bounded_and_compact_output_has_none():
    schema = {"type": "object", "properties": {"a": {"type": "array"}}}
    loose, compact = zel.json_schema(schema, max_whitespace=3), zel.json_schema(schema, compact=True)
    assert accepts(loose, '{ \n"a" :\t[ 1 ,2 ] }') and not accepts(loose, '{    "a": []}')
    assert accepts(compact, '{"a":[1,2]}') and not accepts(compact, '{"a": [1,2]}')


@pytest.mark.parametrize("low,high", [(None, None), (0, 0), (-7, 7), (5, 1234), (-1000, -99),
                                      (19, None), (None, -3), (-15, 2000)])
def test_integer_ranges_are_exact(low, high):
    pattern = integer_range(low, high)
    for value in range(-3000, 3000):
        inside = (low is None or value >= low) and (high is None or value <= high)
        assert bool(re.fullmatch(pattern, str(value))) == inside, value
    assert bool(re.fullmatch(pattern, "-0")) == bool(re.fullmatch(pattern, "0"))
    assert not re.fullmatch(pattern, "01")


@pytest.mark.parametrize("low,low_open,high,high_open", [
    (0, False, 10, False), (0, True, 10, True), (-3, False, 2, True), (-3, True, None, False),
    (None, False, -2, False)])
def test_number_ranges_are_exact_on_decimals(low, low_open, high, high_open):
    pattern = number_range(low, low_open, high, high_open)
    for value in (tenths / 10 for tenths in range(-60, 130)):
        inside = ((low is None or (value > low if low_open else value >= low))
                  and (high is None or (value < high if high_open else value <= high)))
        texts = {repr(value), str(int(value)) if value.is_integer() else repr(value)}
        if value == 0:
            texts |= {"-0", "-0.0", "-0.00"}
        for text in texts:
            assert bool(re.fullmatch(pattern, text)) == inside, text


@pytest.mark.parametrize("schema,keyword,where", [
    ("{not json", None, None), ({"type": "text"}, None, None), ({"$ref": "#/$defs/missing"}, None, None),
    ({"type": "object", "properties": []}, None, None), (42, None, None),  # not schemas at all
    ({"type": "object", "properties": {"a": {"not": {"type": "null"}}}}, "not", "#/properties/a/not"),
    ({"type": "array", "uniqueItems": True}, "uniqueItems", "#/uniqueItems"),
    ({"type": "string", "format": "uri-template"}, "format", "#/format"),
    ({"type": "number", "multipleOf": 0.5}, "multipleOf", "#/multipleOf"),
    ({"type": "string", "pattern": "(?=a)b"}, "pattern", "#/pattern"),
    ({"$ref": "other.json#/x"}, "$ref", "#"),
    ({**UNWRITABLE, "required": ["never"]}, "enum", "#/properties/never"),
])
def test_schema_errors_and_unsupported_keywords_named_with_their_place(schema, keyword, where):
    with pytest.raises(zel.UnsupportedSchema if keyword else zel.SchemaError) as raised:
        zel.json_schema(schema)
    if keyword:
        assert raised.value.keyword == keyword and raised.value.where == where
        assert keyword in str(raised.value) and where in str(raised.value)


def test_identifiers_name_the_property_being_written():
    grammar = zel.json_schema(PERSON)
    assert {s.get_identifier() for s in live(grammar, ['{"name": "An'])} == {"name"}
    assert {s.get_identifier() for s in live(grammar, ['{"name": "An', 'n", "ag'])} == {"age"}
    done = accepted(grammar, '{"name": "Ann", "age": 42}')
    assert done and done[0].get_current_value() == {"name": "Ann", "age": 42}


def test_pydantic_models_compile_when_pydantic_is_installed():
    pydantic = pytest.importorskip("pydantic")
    grammar = zel.json_schema(pydantic.create_model("Point", x=(int, ...), y=(float | None, None)))
    assert accepts(grammar, '{"x": 1, "y": 2.5}') and not accepts(grammar, '{"y": 2.5}')



KEYS = st.text(string.ascii_lowercase + "é\" ", min_size=1, max_size=4)
CHARACTERS = st.characters(codec="utf-8", exclude_categories=("Cs",))
TEXT = st.text(CHARACTERS, max_size=6)


@st.composite
def scalar_schemas(draw):
    low, size = draw(st.integers(-300, 300)), draw(st.integers(0, 80))
    enum = draw(st.lists(st.one_of(TEXT, st.integers(-5, 5), st.none()), min_size=1, max_size=4, unique=True))
    return draw(st.sampled_from([
        {"type": "integer", "minimum": low, "maximum": low + size}, {"type": "boolean"}, {"type": "null"},
        {"type": "number", "exclusiveMinimum": low, "maximum": low + size + 1}, {"enum": enum},
        {"type": "string", "maxLength": size % 6}, {"type": "string", "format": "date"}]))


@st.composite
def containers(draw, children):
    if draw(st.booleans()):
        properties = draw(st.dictionaries(KEYS, children, max_size=4))
        return {"type": "object", "properties": properties, "additionalProperties": False,
                "required": [key for key in properties if draw(st.booleans())]}
    low, extra = draw(st.integers(0, 2)), draw(st.integers(0, 3))
    return {"type": "array", "items": draw(children), "minItems": low, "maxItems": low + extra}


def sample(data, schema):
    """An instance of ``schema`` and a copy changed in one place so that the schema refuses it."""
    draw = data.draw
    if "enum" in schema:
        wrong = st.text(max_size=3).filter(lambda x: x not in schema["enum"])
        return draw(st.sampled_from(schema["enum"])), draw(wrong)
    kind, low, high = schema["type"], schema.get("minItems"), schema.get("maxItems")
    if kind == "array":
        pairs = [sample(data, schema["items"]) for _ in range(draw(st.integers(low, high)))]
        value = [good for good, _ in pairs]
        if pairs and draw(st.booleans()):
            at = draw(st.integers(0, len(pairs) - 1))
            return value, value[:at] + [pairs[at][1]] + value[at + 1:]
        if len(value) < high or draw(st.booleans()):
            return value, value + [sample(data, schema["items"])[0]] * (high + 1 - len(value))
        return value, value[:low - 1] if low else {"not": "a list"}
    if kind == "object":
        pairs = {key: sample(data, sub) for key, sub in schema["properties"].items()
                 if key in schema["required"] or draw(st.booleans())}
        value = {key: good for key, (good, _) in pairs.items()}
        if pairs and draw(st.booleans()):
            key = draw(st.sampled_from(sorted(pairs)))
            return value, {**value, key: pairs[key][1]}
        if schema["required"] and draw(st.booleans()):
            return value, {k: v for k, v in value.items() if k != schema["required"][0]}
        return value, {**value, "".join(schema["properties"]) + "?": 1}
    if kind == "integer":
        value = draw(st.integers(schema["minimum"], schema["maximum"]))
        return value, schema["maximum"] + draw(st.integers(1, 1000))
    if kind == "number":
        floats = st.floats(schema["exclusiveMinimum"], schema["maximum"], exclude_min=True)
        value = draw(floats.filter(lambda x: "e" not in repr(x)))
        return value, schema["exclusiveMinimum"] - draw(st.integers(0, 50))
    if kind == "string" and "format" in schema:
        value = draw(st.dates()).isoformat()
        return value, value + "x"
    if kind == "string":
        return draw(st.text(CHARACTERS, max_size=schema["maxLength"])), "x" * (schema["maxLength"] + 1)
    return (draw(st.booleans()) if kind == "boolean" else None), 7


@settings(max_examples=25, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.recursive(scalar_schemas(), containers, max_leaves=6), st.data())
def test_instances_are_accepted_and_broken_ones_refused(schema, data):
    grammar = zel.json_schema(schema)
    value, wrong = sample(data, schema)
    assert accepts(grammar, dumps(value)) and not accepts(grammar, dumps(wrong))
