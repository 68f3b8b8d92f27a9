"""JSON Schema to grammar: ``json_schema(schema)`` and its errors."""

from .compiler import DEFAULT_MAX_WHITESPACE, json_schema
from .errors import SchemaError, UnsupportedSchema

__all__ = ["DEFAULT_MAX_WHITESPACE", "SchemaError", "UnsupportedSchema", "json_schema"]
