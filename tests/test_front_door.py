"""The zel front door: its names, the combinators, regex and json_object,
alone, composed with each other and inside an Engine."""

import numpy as np
import pytest
import zel
import zel_core as z

from frontend_kit import accepts


def test_the_front_door_names():
    for name in ("json_schema", "regex", "grammar", "json_object", "literal", "choice",
                 "sequence", "optional", "repetition"):
        assert callable(getattr(zel, name)), name
    assert isinstance(zel.json_object(), z.StateMachine)


@pytest.mark.parametrize("make,valid,invalid", [
    (lambda: zel.sequence("a", zel.optional("b"), "c"), ["ac", "abc"], ["a", "abbc", "bc"]),
    (lambda: zel.choice("ab", "ac", zel.regex("a[0-9]+")), ["ab", "ac", "a12"], ["a", "ad", "abc"]),
    (lambda: zel.repetition(zel.regex("[0-9]+"), 2, None, separator=","),
     ["1,2", "1,22,333,4"], ["1", "1,", ",1,2", "1,,2"]),
    (lambda: zel.repetition("ab", 0, 2), ["ab", "abab"], ["ababab", "a"]),
    (lambda: zel.sequence(zel.literal("n="), zel.json_schema({"type": "integer", "maximum": 9})),
     ["n=9", "n=-40"], ["n=10", "n=", "n=1.0"]),
    (lambda: zel.regex(r"[A-Z]{3}-\d{4}"), ["ABC-1234"], ["ABC-123", "xABC-1234", "ABC-12345"]),
])
def test_combinators_and_regex(make, valid, invalid):
    grammar = make()
    for text in valid:
        assert accepts(grammar, text), text
    for text in invalid:
        assert not accepts(grammar, text), text


def test_a_grammar_from_the_front_door_drives_an_engine_exactly():
    vocabulary = ["{", "}", '"', "a", '"a"', ":", " ", "1", "12", "x", '{"a": 1'] + ["<end>"]
    engine = z.Engine({text: i for i, text in enumerate(vocabulary)},
                      lambda text: [vocabulary.index(text)], lambda ids: "".join(
                          vocabulary[i] for i in ids), control_tokens=[len(vocabulary) - 1])
    engine.state_machine = zel.json_schema({"type": "object", "properties": {
        "a": {"type": "integer", "minimum": 10}}, "required": ["a"],
        "additionalProperties": False}, compact=True)
    engine.reset()
    words = np.zeros((1, 1), dtype=np.int32)
    engine.fill_next_token_bitmask(words, 0)
    allowed = {vocabulary[i] for i in range(len(vocabulary)) if words[0, 0] >> i & 1}
    assert allowed == {"{"}
    for token in ["{", '"a"', ":", "1"]:
        assert engine.consume(vocabulary.index(token), token_healing=False) is not None
    engine.fill_next_token_bitmask(words, 0)
    allowed = {vocabulary[i] for i in range(len(vocabulary)) if words[0, 0] >> i & 1}
    assert allowed == {"1", "12"}
