"""Reads the key-value metadata of a GGUF model file, and nothing else.

``gguf.GGUFReader`` parses the whole file eagerly, every element of every
array into numpy views of its own: for a small model's tokenizer (49,152
tokens and 48,900 merges) that took 43 s here. The vocabulary only needs the
metadata section at the start of the file, so this module walks that section
once with ``struct``, using the ``gguf`` package's value types and key names,
and stops before the tensor descriptions (0.2 s for the same file).
"""

from __future__ import annotations

import mmap
import os
import struct
from typing import Any

import gguf

_VT = gguf.GGUFValueType
_SCALARS = {
    _VT.UINT8: "B", _VT.INT8: "b", _VT.UINT16: "H", _VT.INT16: "h", _VT.UINT32: "I",
    _VT.INT32: "i", _VT.FLOAT32: "f", _VT.BOOL: "?", _VT.UINT64: "Q", _VT.INT64: "q",
    _VT.FLOAT64: "d",
}


class _Cursor:
    def __init__(self, data: Any, order: str) -> None:
        self.data = data
        self.offset = 0
        self.order = order

    def unpack(self, code: str) -> Any:
        value = struct.unpack_from(self.order + code, self.data, self.offset)[0]
        self.offset += struct.calcsize(code)
        return value

    def string(self) -> str:
        length = self.unpack("Q")
        start = self.offset
        self.offset += length
        if self.offset > len(self.data):
            raise ValueError("a string runs past the end of the file")
        return bytes(self.data[start:self.offset]).decode("utf-8", errors="surrogateescape")

    def strings(self, count: int) -> list[str]:
        # The vocabulary's hot loop: one length and one slice per string.
        data, offset, end = self.data, self.offset, len(self.data)
        length_of = struct.Struct(self.order + "Q").unpack_from
        out = []
        for _ in range(count):
            length = length_of(data, offset)[0]
            offset += 8
            if offset + length > end:
                raise ValueError("a string runs past the end of the file")
            out.append(data[offset:offset + length].decode("utf-8", errors="surrogateescape"))
            offset += length
        self.offset = offset
        return out

    def value(self, kind: int) -> Any:
        kind = _VT(kind)
        if kind == _VT.STRING:
            return self.string()
        if kind == _VT.ARRAY:
            item_kind = _VT(self.unpack("I"))
            count = self.unpack("Q")
            if item_kind in _SCALARS:
                code = _SCALARS[item_kind]
                size = struct.calcsize(code)
                values = list(struct.unpack_from(f"{self.order}{count}{code}", self.data, self.offset))
                self.offset += size * count
                return values
            if item_kind == _VT.STRING:
                return self.strings(count)
            return [self.value(item_kind) for _ in range(count)]
        return self.unpack(_SCALARS[kind])


def read_metadata(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The metadata of a GGUF file as a dict of plain Python values.

    Raises ValueError when the file is not GGUF (or is cut short).
    """
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        if len(data) < 24 or struct.unpack_from("<I", data, 0)[0] != gguf.GGUF_MAGIC:
            raise ValueError(f"{path}: not a GGUF file")
        order = "<"
        version = struct.unpack_from("<I", data, 4)[0]
        if version & 0xFFFF == 0:  # written big-endian
            order = ">"
        cursor = _Cursor(data, order)
        cursor.offset = 8
        try:
            cursor.unpack("Q")  # tensor count
            count = cursor.unpack("Q")
            metadata = {}
            for _ in range(count):
                key = cursor.string()
                metadata[key] = cursor.value(cursor.unpack("I"))
        except (struct.error, ValueError) as error:
            raise ValueError(f"{path}: damaged GGUF metadata ({error})") from error
        return metadata
