"""Property: every instance of a random schema is accepted, and an
instance broken in one place is refused."""

import json
import string

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zel
from frontend_kit import accepts

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


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(SCHEMAS, st.data())
def test_instances_are_accepted_and_broken_ones_refused(schema, data):
    grammar = zel.json_schema(schema)
    value = instance(data, schema)
    assert accepts(grammar, json.dumps(value, ensure_ascii=False))
    wrong = broken(data, schema, value)
    assert not accepts(grammar, json.dumps(wrong, ensure_ascii=False))
