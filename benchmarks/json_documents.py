"""What the JSON benchmarks share: the vocabulary (cl100k_base, or a
synthetic one when it has not been fetched) and the number of random
documents to walk. Imported by the scripts beside it; does nothing when run."""

from __future__ import annotations

import argparse

from zel.vocabularies import Vocabulary, load_vocabulary, synthetic_vocabulary


def benchmark_vocabulary() -> Vocabulary:
    try:
        return load_vocabulary()
    except FileNotFoundError:
        return synthetic_vocabulary(32_000)


def document_count(description: str | None = None) -> int:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--documents", type=int, default=40)
    return int(parser.parse_args().documents)
