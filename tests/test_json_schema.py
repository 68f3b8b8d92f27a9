"""zel.json_schema: documents a schema admits are accepted, others refused
(random schemas and instances too); recursion, formats, numeric ranges,
errors naming keyword and place."""

import json
import re
import string

import pytest
import zel
import zel_core as z
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from zel.schema.number_patterns import integer_range, number_range

from frontend_kit import accepted, accepts


def dumps(value):
    return json.dumps(value, ensure_ascii=False)


PERSON = {
    "type": "object",
    "properties": {
        "name": {"type": "string", "minLength": 1, "maxLength": 8},
        "age": {"type": "integer", "minimum": 0, "maximum": 130},
        "email": {"type": "string", "format": "email"},
        "tags": {"type": "array", "items": {"enum": ["a", "b"]}, "maxItems": 2},
    },
    "required": ["name", "age"],
    "additionalProperties": False,
}

CASES = [
    (PERSON,
     [{"name": "Ann", "age": 0}, {"name": "Bo", "age": 130, "tags": []},
      {"name": "é日", "age": 42, "email": "a.b@c.org", "tags": ["b", "a"]}],
     [{"name": "", "age": 1}, {"name": "Ann"}, {"age": 3, "name": "Ann"},
      {"name": "Ann", "age": 131}, {"name": "Ann", "age": -1}, {"name": "Ann", "age": 1.5},
      {"name": "Ann", "age": 1, "x": 1}, {"name": "Ann", "age": 1, "email": "nope"},
      {"name": "Ann", "age": 1, "tags": ["a", "b", "a"]}, {"name": "Ann", "age": 1, "tags": ["c"]},
      {"name": "123456789", "age": 1}]),
    ({"type": "object", "properties": {"a": {"type": "integer"}}},
     [{}, {"a": 1}, {"b": [1, {"c": None}]}, {"a": 2, "ab": 3, "": "x"}, {"zz": 1, "a": 3}],
     [{"a": "x"}, {"a": 1, "a": 1} if False else {"a": None}, []]),
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
]


@pytest.mark.parametrize("schema,valid,invalid", CASES)
def test_valid_documents_are_accepted_and_others_refused(schema, valid, invalid):
    for grammar in (zel.json_schema(schema), zel.json_schema(json.dumps(schema))):
        answers = [accepts(grammar, dumps(value)) for value in valid + invalid]
        assert answers == [True] * len(valid) + [False] * len(invalid)


def test_white_space_is_bounded_and_compact_output_has_none():
    schema = {"type": "object", "properties": {"a": {"type": "array"}}}
    loose = zel.json_schema(schema, max_whitespace=3)
    assert accepts(loose, '{ \n"a" :\t[ 1 ,2 ] }')
    assert not accepts(loose, '{    "a": []}')
    compact = zel.json_schema(schema, compact=True)
    assert accepts(compact, '{"a":[1,2]}')
    assert not accepts(compact, '{"a": [1,2]}')


@pytest.mark.parametrize("low,high", [(None, None), (0, 0), (-7, 7), (5, 1234), (-1000, -99),
                                      (19, None), (None, -3), (-15, 2000), (100, 100)])
def test_integer_ranges_are_exact(low, high):
    pattern = integer_range(low, high)
    for value in range(-3000, 3000):
        inside = (low is None or value >= low) and (high is None or value <= high)
        assert bool(re.fullmatch(pattern, str(value))) == inside, value
    assert not re.fullmatch(pattern, "01")


@pytest.mark.parametrize("bounds", [(0, False, 10, False), (0, True, 10, True), (-3, False, 2, True),
                                    (-3, True, None, False), (None, False, -2, False)])
def test_number_ranges_are_exact_on_decimals(bounds):
    low, low_exclusive, high, high_exclusive = bounds
    pattern = number_range(*bounds)
    for tenths in range(-60, 130):
        value = tenths / 10
        inside = ((low is None or (value > low if low_exclusive else value >= low))
                  and (high is None or (value < high if high_exclusive else value <= high)))
        for text in {repr(value), str(int(value)) if value.is_integer() else repr(value)}:
            if text == "-0":
                continue
            assert bool(re.fullmatch(pattern, text)) == inside, text


def test_recursive_schemas_refer_to_themselves():
    tree = {"$defs": {"node": {"type": "object", "properties": {
        "v": {"type": "integer"}, "kids": {"type": "array", "items": {"$ref": "#/$defs/node"}}},
        "required": ["v"], "additionalProperties": False}}, "$ref": "#/$defs/node"}
    grammar = zel.json_schema(tree)
    deep = {"v": 1, "kids": [{"v": 2, "kids": [{"v": 3, "kids": []}]}, {"v": 4}]}
    assert accepts(grammar, dumps(deep))
    assert not accepts(grammar, dumps({"v": 1, "kids": [{"kids": []}]}))
    listed = {"definitions": {"list": {"anyOf": [{"type": "null"}, {"type": "object", "properties": {
        "head": {"type": "string"}, "tail": {"$ref": "#/definitions/list"}},
        "required": ["head", "tail"], "additionalProperties": False}]}},
        "$ref": "#/definitions/list"}
    grammar = zel.json_schema(listed)
    assert accepts(grammar, dumps({"head": "a", "tail": {"head": "b", "tail": None}}))
    assert not accepts(grammar, dumps({"head": "a", "tail": {"head": "b"}}))


@pytest.mark.parametrize("form,good,bad", [
    ("date", ["2024-02-29", "2000-02-29", "1999-12-31", "2023-04-30"],
     ["2024-13-01", "24-01-01", "2024-1-1", "2023-02-29", "1900-02-29", "1000-02-29", "2023-04-31"]),
    ("time", ["23:59:60Z", "01:02:03.5+05:30"], ["24:00:00Z", "01:02:03"]),
    ("date-time", ["2024-01-02T03:04:05Z"], ["2024-01-02 03:04", "2024-01-02T03:04:05"]),
    ("email", ["a.b+c@example.co"], ["a@", "@b.c", "a b@c.d"]),
    ("uuid", ["123e4567-e89b-12d3-a456-426614174000"], ["123e4567e89b12d3a456426614174000"]),
    ("uri", ["https://x.org/a?b=c#d", "urn:isbn:1"], ["no scheme", "//x.org"]),
    ("ipv4", ["0.0.0.0", "255.255.255.255"], ["256.1.1.1", "1.2.3", "01.2.3.4"]),
    ("int32", ["x"], []),  # formats JSON Schema does not define assert nothing
])
def test_string_formats(form, good, bad):
    grammar = zel.json_schema({"type": "string", "format": form})
    assert [accepts(grammar, dumps(text)) for text in good + bad] == [True] * len(good) + [False] * len(bad)


@pytest.mark.parametrize("schema,keyword,where", [
    ({"type": "object", "properties": {"a": {"not": {"type": "null"}}}}, "not", "#/properties/a/not"),
    ({"type": "array", "items": {"type": "integer"}, "uniqueItems": True}, "uniqueItems",
     "#/uniqueItems"),
    ({"type": "string", "format": "uri-template"}, "format", "#/format"),
    ({"type": "number", "multipleOf": 0.5}, "multipleOf", "#/multipleOf"),
    ({"type": "string", "pattern": "(?=a)b"}, "pattern", "#/pattern"),
    ({"$ref": "other.json#/x"}, "$ref", "#"),
])
def test_unsupported_keywords_are_named_with_their_place(schema, keyword, where):
    with pytest.raises(zel.UnsupportedSchema) as raised:
        zel.json_schema(schema)
    assert raised.value.keyword == keyword and raised.value.where == where
    assert keyword in str(raised.value) and where in str(raised.value)


@pytest.mark.parametrize("schema", ["{not json", {"type": "text"}, {"$ref": "#/$defs/missing"},
                                    {"type": "object", "properties": []}, 42])
def test_schema_errors_are_reported_as_such(schema):
    with pytest.raises(zel.SchemaError):
        zel.json_schema(schema)


def test_identifiers_name_the_property_being_written():
    grammar = zel.json_schema(PERSON)
    steppers = z.StateMachine.advance_all_basic(grammar.get_steppers(), '{"name": "An')
    assert {s.get_identifier() for s in steppers} == {"name"}
    steppers = z.StateMachine.advance_all_basic(steppers, 'n", "ag')
    assert {s.get_identifier() for s in steppers} == {"age"}
    done = accepted(grammar, '{"name": "Ann", "age": 42}')
    assert done and done[0].get_current_value() == {"name": "Ann", "age": 42}


def test_pydantic_models_compile_when_pydantic_is_installed():
    pydantic = pytest.importorskip("pydantic")

    class Point(pydantic.BaseModel):
        x: int
        y: float | None = None

    grammar = zel.json_schema(Point)
    assert accepts(grammar, '{"x": 1, "y": 2.5}') and accepts(grammar, '{"x": 1}')
    assert not accepts(grammar, '{"y": 2.5}')


def test_values_no_schema_admits_drop_optional_properties_and_alternatives():
    schema = {"type": "object", "properties": {
        "never": {"type": "object", "enum": ["a"]}, "n": {"anyOf": [{"type": "string",
                                                                      "minLength": 3,
                                                                      "maxLength": 1},
                                                                     {"type": "integer"}]}},
        "additionalProperties": False}
    grammar = zel.json_schema(schema)
    assert accepts(grammar, '{"n": 3}') and not accepts(grammar, '{"never": "a"}')
    open_ended = zel.json_schema({**schema, "additionalProperties": True})
    assert accepts(open_ended, '{"other": 1}') and not accepts(open_ended, '{"never": "a"}')
    with pytest.raises(zel.UnsupportedSchema):
        zel.json_schema({**schema, "required": ["never"]})


def test_pattern_properties_each_keep_their_own_schema():
    grammar = zel.json_schema({"type": "object", "properties": {"foo": {"type": "string"}},
                               "patternProperties": {"^S_": {"type": "string"},
                                                     "^I_": {"type": "integer"}},
                               "additionalProperties": False})
    assert accepts(grammar, '{"foo": "bar", "S_foo": "x", "I_foo": 123, "S_b": ""}')
    assert not accepts(grammar, '{"I_foo": "x"}') and not accepts(grammar, '{"X": 1}')


# --------------------------------------------------------------------------- random schemas

KEYS = st.text(string.ascii_lowercase + "é\" ", min_size=1, max_size=4)
TEXT = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=6)


@st.composite
def scalar_schemas(draw):
    kind = draw(st.sampled_from(["integer", "string", "enum", "boolean", "null", "date", "number"]))
    if kind == "integer":
        low = draw(st.integers(-300, 300))
        return {"type": "integer", "minimum": low, "maximum": low + draw(st.integers(0, 500))}
    if kind == "number":
        low = draw(st.integers(-50, 50))
        return {"type": "number", "exclusiveMinimum": low, "maximum": low + draw(st.integers(1, 80))}
    if kind == "string":
        return {"type": "string", "maxLength": draw(st.integers(0, 5))}
    if kind == "enum":
        return {"enum": draw(st.lists(st.one_of(TEXT, st.integers(-5, 5), st.none()), min_size=1,
                                      max_size=4, unique=True))}
    if kind == "date":
        return {"type": "string", "format": "date"}
    return {"type": kind}


def containers(children):
    objects = st.builds(
        lambda props, data: {"type": "object", "properties": props,
                             "required": [k for k in props if data.draw(st.booleans())],
                             "additionalProperties": False},
        st.dictionaries(KEYS, children, max_size=4), st.data())
    arrays = st.builds(lambda items, low, extra: {"type": "array", "items": items, "minItems": low,
                                                  "maxItems": low + extra},
                       children, st.integers(0, 2), st.integers(0, 3))
    return st.one_of(objects, arrays)


SCHEMAS = st.recursive(scalar_schemas(), containers, max_leaves=6)


def instance(data, schema):
    if "enum" in schema:
        return data.draw(st.sampled_from(schema["enum"]))
    kind = schema["type"]
    if kind == "integer":
        return data.draw(st.integers(schema["minimum"], schema["maximum"]))
    if kind == "number":
        low = schema["exclusiveMinimum"]
        return data.draw(st.floats(low, schema["maximum"], exclude_min=True).filter(
            lambda x: "e" not in repr(x)))
    if kind == "string":
        if schema.get("format") == "date":
            return data.draw(st.dates()).isoformat()
        return data.draw(st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)),
                                 max_size=schema["maxLength"]))
    if kind == "boolean":
        return data.draw(st.booleans())
    if kind == "null":
        return None
    if kind == "array":
        size = data.draw(st.integers(schema["minItems"], schema["maxItems"]))
        return [instance(data, schema["items"]) for _ in range(size)]
    return {key: instance(data, sub) for key, sub in schema["properties"].items()
            if key in schema["required"] or data.draw(st.booleans())}


def broken(data, schema, value):
    """``value`` (an instance of ``schema``) changed in one place so that the
    schema refuses it."""
    if isinstance(value, dict) and value and data.draw(st.booleans()):
        key = data.draw(st.sampled_from(sorted(value)))
        return {**value, key: broken(data, schema["properties"][key], value[key])}
    if isinstance(value, list) and value and data.draw(st.booleans()):
        at = data.draw(st.integers(0, len(value) - 1))
        return value[:at] + [broken(data, schema["items"], value[at])] + value[at + 1:]
    if "enum" in schema:
        return data.draw(st.text(max_size=3).filter(lambda x: x not in schema["enum"]))
    kind = schema["type"]
    if kind == "integer":
        return schema["maximum"] + data.draw(st.integers(1, 1000))
    if kind == "number":
        return schema["exclusiveMinimum"] - data.draw(st.integers(0, 50))
    if kind == "string":
        if schema.get("format") == "date":
            return value + "x"
        return "x" * (schema["maxLength"] + 1)
    if kind == "array":
        if len(value) < schema["maxItems"] or data.draw(st.booleans()):
            return value + [instance(data, schema["items"])] * (schema["maxItems"] + 1 - len(value))
        return value[:schema["minItems"] - 1] if schema["minItems"] else {"not": "a list"}
    if kind == "object":
        missing = [k for k in schema["required"] if k in value]
        if missing and data.draw(st.booleans()):
            return {k: v for k, v in value.items() if k != missing[0]}
        return {**value, "".join(schema["properties"]) + "?": 1}
    return 7 if kind in ("null", "boolean") else None


@settings(max_examples=25, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(SCHEMAS, st.data())
def test_instances_are_accepted_and_broken_ones_refused(schema, data):
    grammar = zel.json_schema(schema)
    value = instance(data, schema)
    assert accepts(grammar, json.dumps(value, ensure_ascii=False))
    wrong = broken(data, schema, value)
    assert not accepts(grammar, json.dumps(wrong, ensure_ascii=False))
