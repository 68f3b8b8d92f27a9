"""The errors a JSON Schema can raise when compiled."""

from __future__ import annotations


class SchemaError(ValueError):
    """The schema itself is wrong (not a schema, a dangling ``$ref``, ...)."""

    def __init__(self, message: str, where: str = ""):
        self.where = where
        super().__init__(f"{message} (at {where or '#'})")


class UnsupportedSchema(ValueError):
    """The schema is sound, but uses a keyword, or a form of one, that the
    compiler does not turn into a grammar; ``keyword`` names it and ``where``
    is its JSON pointer in the schema."""

    def __init__(self, message: str, keyword: str, where: str = ""):
        self.keyword = keyword
        self.where = where
        super().__init__(f"unsupported {keyword!r} at {where or '#'}: {message}")


class Unsatisfiable(UnsupportedSchema):
    """A (sub)schema that admits no value at all. An optional property or an
    alternative with such a schema is left out; elsewhere it is an error."""
