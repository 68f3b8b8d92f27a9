"""Raw values, parsed values, identifiers and token-safe output of steppers."""

import math

import pytest
import zel_core as z


def raw(text):
    s = z.Stepper(z.StateMachine())
    s._raw_value = text
    return s


class Fixed(z.Stepper):
    def get_raw_value(self):
        return "<F>"


@pytest.mark.parametrize("own, history, sub, expected", [
    (None, [], None, ""), (None, ["ab", "c"], "d", "abcd"), ("own", ["ab"], "d", "own"), ("", ["ab"], "d", ""),
    (None, ["a", Fixed], Fixed, "a<F><F>"),  # overrides of the parts are asked
])
def test_raw_value_precedence_and_concatenation(own, history, sub, expected):
    def part(p):
        return raw(p) if isinstance(p, str) else p(z.StateMachine())
    s = raw(own)
    s.history = [part(h) for h in history]
    s.sub_stepper = None if sub is None else part(sub)
    assert s.get_raw_value() == expected
    assert s.get_current_value() == (expected or None)


@pytest.mark.parametrize("text, expected", [
    ("42", 42.0), ("0x10", 16.0), ("inf", math.inf), ("42 ", 42), ("-2147483648 ", -2147483648),
    ("true", True), ("null", None), ('"\\u00e9"', "é"), ('{"n": [null, 1.5, "x"]}', {"n": [None, 1.5, "x"]}),
    ("12abc", "12abc"), ("1e400", "1e400"), ("[1,", "[1,"),
    ('"a\\u0000b"', "a\x00b"), ('{"k\\u0000": 1}', {"k\x00": 1}),
    ("18446744073709551615 ", 18446744073709551615), ("-9223372036854775808 ", -(2**63)),
])
def test_current_value_parsing(text, expected):
    got = raw(text).get_current_value()
    assert type(got) is type(expected) and got == expected


def test_current_value_nan_and_object_key_order():
    nan = raw("nan").get_current_value()
    assert isinstance(nan, float) and math.isnan(nan)
    assert list(raw('{"b": 1, "a": 2, "b": 3}').get_current_value().items()) == [("a", 2), ("b", 3)]


class PyNamed(z.Stepper):
    def get_identifier(self):
        return "py"


@pytest.mark.parametrize("inner_cls, inner_id, outer_id, expected", [
    (z.Stepper, "inner", "outer", "inner"),
    (z.Stepper, None, "outer", "outer"),
    (z.Stepper, None, None, None),
    (z.Stepper, "", "outer", ""),
    (PyNamed, None, "outer", "py"),
])
def test_identifier_is_innermost_named(inner_cls, inner_id, outer_id, expected):
    s = z.Stepper(z.StateMachine(identifier=outer_id))
    assert s.get_identifier() == outer_id
    s.sub_stepper = inner_cls(z.StateMachine(identifier=inner_id))
    assert s.get_identifier() == expected


def test_token_safe_output_override_receives_callable_from_engine():
    seen = []

    class Safe(z.Stepper):
        def get_token_safe_output(self, decode):
            seen.append(decode)
            return "out"

    def decode(ids):
        return "never"

    m = z.StateMachine(identifier="rule", end_states=[0])
    engine = z.Engine({"a": 0}, lambda text: [0], lambda ids: "a")
    engine.state_machine = m
    engine.steppers = [Safe(m)]
    assert engine.get_live_token_safe_output(decode) == ("out", "rule")
    assert seen and all(f is decode for f in seen)
