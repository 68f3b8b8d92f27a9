"""The work every engine is given: grammars and documents as cl100k_base ids.

Two modes build the same job shape (a list of tasks, each a grammar and the
documents to walk under it):

- "object": one task, "any JSON object", over the documents of
  documents.txt beside this file;
- "schema": one task per file of JSONSchemaBench's MaskBench sample (read
  from the shared data folder at run time, never copied here): its schema,
  its valid instances (timed) and its invalid ones (only checked for a
  refusal). Instances are written as json.dumps(data, ensure_ascii=False).

Tokens come from zel.vocabularies (tiktoken over the local cl100k_base file),
and each document's ids are checked to spell its exact bytes.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

from zel.vocabularies import PATTERNS, Vocabulary

HERE = Path(__file__).resolve().parent
DOCUMENTS = HERE / "documents.txt"
SCHEMA_FOLDER = Path("data") / "jsonschemabench"


def read_documents(path: Path = DOCUMENTS) -> list[tuple[str, str]]:
    """(name, text) pairs of the documents file; each text parses as a JSON object."""
    documents: list[tuple[str, list[str]]] = []
    for line in path.read_text(encoding="utf-8").split("\n"):
        if line.startswith("=== "):
            documents.append((line[4:].strip(), []))
        elif documents:
            documents[-1][1].append(line)
    result = []
    for name, lines in documents:
        while lines and lines[-1] == "":
            lines.pop()
        text = "\n".join(lines)
        try:
            value = json.loads(text)
        except ValueError as error:
            raise ValueError(f"{path}: document {name}: {error}") from None
        if not isinstance(value, dict):
            raise ValueError(f"{path}: document {name} is not a JSON object")
        result.append((name, text))
    return result


def tokenize(vocabulary: Vocabulary, text: str) -> list[int]:
    ids = vocabulary.encode(text)
    if b"".join(vocabulary.token_bytes(i) for i in ids) != text.encode("utf-8"):
        raise ValueError(f"the ids of {text[:40]!r}... do not spell its bytes")
    return ids


def vocabulary_entry(vocabulary: Vocabulary, path: Path) -> dict:
    return {"name": vocabulary.name, "path": str(path.resolve()),
            "pattern": PATTERNS[vocabulary.name], "ordinary_ids": vocabulary.size,
            "end_of_text_id": vocabulary.size}


def object_tasks(vocabulary: Vocabulary, limit: int | None) -> list[dict]:
    documents = [{"name": name, "tokens": tokenize(vocabulary, text), "valid": True}
                 for name, text in read_documents()[:limit]]
    return [{"name": "any JSON object", "grammar": {"kind": "json_object"},
             "documents": documents}]


def shared_folder(repository: Path) -> Path | None:
    """The shared data beside the repository (ZEL_SHARED wins when set)."""
    chosen = os.environ.get("ZEL_SHARED")
    candidates = [Path(chosen)] if chosen else []
    candidates += [repository.parent / "shared", repository.parent.parent / "shared"]
    for candidate in candidates:
        if (candidate / SCHEMA_FOLDER).is_dir():
            return candidate / SCHEMA_FOLDER
    return None


def schema_tasks(vocabulary: Vocabulary, folder: Path, limit: int | None) -> list[dict]:
    tasks = []
    for file in sorted(folder.glob("*.json"))[:limit]:
        entry = json.loads(file.read_text(encoding="utf-8"))
        documents = []
        for number, test in enumerate(entry.get("tests", [])):
            text = json.dumps(test["data"], indent=None, ensure_ascii=False)
            documents.append({"name": f"{file.stem}#{number}", "valid": bool(test["valid"]),
                              "tokens": tokenize(vocabulary, text)})
        tasks.append({"name": file.stem,
                      "grammar": {"kind": "json_schema", "schema": entry["schema"]},
                      "documents": documents})
    return tasks
