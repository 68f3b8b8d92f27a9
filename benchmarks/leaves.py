"""The package's leaves under the short names the benchmarks use.

`Lit` matches one fixed text; `Chars` a run of 1..max_len characters from a
set. They are plain Python, written the way a grammar author would, so the
benchmarks measure how much of a walk is spent in leaf code.
"""

from zel.leaves import CharacterClass, CharacterClassStepper, Literal, LiteralStepper

Lit = Literal


def Chars(chars, max_len=16, **kwargs):
    return CharacterClass(chars, min_length=1, max_length=max_len, **kwargs)


#: The classes whose Python methods make up the leaf code (for profiling).
LEAF_CLASSES = (Literal, LiteralStepper, CharacterClass, CharacterClassStepper)
