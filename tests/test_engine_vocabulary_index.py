"""Token masks follow every change to the Engine's vocabulary.

Masks read prefix ranges from an index derived from the vocabulary trie; a
change made through the live ``engine.vocabulary`` view, through any other
TrieMap, or by assigning the property must be seen by the next mask.
"""

import zel_core
from zel.leaves import Literal

TEXTS = {0: "a", 1: "b", 2: "ax", 3: "bx"}


def engine_on_literal(text: str) -> zel_core.Engine:
    engine = zel_core.Engine({t: i for i, t in TEXTS.items()}, lambda s: [],
                             lambda ids: "".join(TEXTS.get(i, "?") for i in ids),
                             multi_token_sampling=False)
    engine.state_machine = zel_core.StateMachine({0: [(Literal(text), "$")]})
    engine.reset()
    return engine


def allowed(engine: zel_core.Engine, size: int = 8) -> set[int]:
    return {i for i, ok in enumerate(engine.compute_token_mask(size)) if ok}


def test_mask_follows_inserts_erases_and_clear_through_the_live_view():
    engine = engine_on_literal("ab")
    assert allowed(engine) == {0, 2}
    engine.vocabulary.insert("abc", 5)
    assert allowed(engine) == {0, 2, 5}
    assert engine.vocabulary.erase("ax") == 1
    assert allowed(engine) == {0, 5}
    engine.vocabulary.insert_all([("ay", 6)])
    assert allowed(engine) == {0, 5, 6}
    engine.vocabulary.clear()
    # Nothing tokenizes the continuation any more: every id is allowed.
    assert allowed(engine) == set(range(8))


def test_mask_follows_assigning_the_vocabulary_and_other_engines():
    engine = engine_on_literal("ab")
    other = engine_on_literal("ab")
    assert allowed(engine) == allowed(other) == {0, 2}
    replacement = zel_core.TrieMap()
    replacement.insert_all([("a", 1), ("ab", 4), ("b", 3)])
    engine.vocabulary = replacement
    assert allowed(engine) == {1, 4}
    other.vocabulary.insert("a!", 7)
    assert allowed(other) == {0, 2, 7}
    assert allowed(engine) == {1, 4}
