"""The zel front door: combinators and regex, alone and composed; zel.grammar's GBNF texts
(llama.cpp's dialect), rule names as identifiers, errors at line and column."""

import json

import pytest
import zel
from frontend_kit import accepted, accepts, live

JSON = r'''
# JSON, in the dialect's usual layout
root   ::= object
value  ::= object | array | string | number | ("true" | "false" | "null") ws
object ::=
  "{" ws ( string ":" ws value ("," ws string ":" ws value)* )? "}" ws
array  ::= "[" ws ( value ("," ws value)* )? "]" ws
string ::= "\"" ( [^"\\\x7F\x00-\x1F] | "\\" (["\\/bfnrt] | "u" [0-9a-fA-F]{4}) )* "\"" ws # escapes
number ::= ("-"? ([0-9] | [1-9] [0-9]{0,15})) ("." [0-9]+)? ([eE] [-+]? [0-9] [1-9]{0,15})? ws
ws ::= | " " | "\n" [ \t]{0,20}
'''

ARITHMETIC = r'''
root  ::= (expr "=" term "\n")+
expr  ::= term ([-+*/] term)*
term  ::= [0-9]+ | "(" expr ")"
'''



@pytest.mark.parametrize("grammar,valid,invalid", [
    (JSON, ['{}', '{"a": [1, 2.5e3, true, null, {"b": "\\u00e9\\n"}]}', '{ "k" : "v" }'],
     ['{"a": 01}', '{"a": [1,]}', '[]', '{"a": "\x01"}', '{"a": tru}']),
    (ARITHMETIC, ["1+2=3\n", "(1+2)*3=9\n10/5=2\n", "((7))=7\n"], ["1+2=3", "1+=3\n", "(1=1\n", "=1\n"]),
    ('root ::= item+ # excludes line breaks\nitem ::= "- " [^\\r\\n\\x0b\\x0c\\x85\\u2028\\u2029]+ "\\n"',
     ["- milk\n", "- a\n- b c\n"], ["- \n", "-milk\n", "- a", "- a\r\n", "- a\u2028b\n"]),
    ('root ::= "a"{2,3} [x-z]? "b"*', ["aa", "aaa", "aaz", "aaxbbb", "aab"], ["a", "aaaa", "aaxy"]),
    ('root ::= x y\nx ::= "a" | ""\ny ::= "b"?', ["a", "b", "ab"], ["", "ba", "aa"]),
    ('root ::= "(" root ")" | "x"', ["x", "(x)", "(((x)))"], ["()", "((x)", "x)"]),
    ('root ::= [^a-c]+ .', ["dd", "d\n"], ["a", "ab", "d"]),
])
def test_grammars_accept_their_language(grammar, valid, invalid):
    machine = zel.grammar(grammar)
    assert [accepts(machine, text) for text in valid + invalid] == [True] * len(valid) + [False] * len(invalid)


def test_values_are_json_loads_and_identifiers_name_the_rule_being_written():
    machine = zel.grammar(JSON)
    value = {"a": [1, -2, 3.25, "x\"y", {"b": None, "c": False}], "d": {}}
    done = accepted(machine, json.dumps(value))
    assert done and done[0].get_current_value() == value
    assert "number" in {s.get_identifier() for s in live(machine, '{"a": 1')}
    greeting = zel.grammar('root ::= greeting " " name\ngreeting ::= "hi" | "hello"\nname ::= [a-z]+')
    assert {s.get_identifier() for s in live(greeting, ["hel"])} == {"greeting"}


@pytest.mark.parametrize("text,line,column,words", [
    ('root ::= "a"\nroot ::= "b"', 2, 1, "defined twice"), ('root ::= "a" other', 1, 14, "not defined"),
    ('root ::= "a\n', 1, 10, "unclosed string"), ('root ::= [a-', 1, 10, "unclosed character class"),
    ('root ::= ("a"', 1, 10, "unclosed '('"), ('root ::= "a"{3,1}', 1, 13, "maximum below"),
    ('root = "a"', 1, 6, "'::='"), ('root ::= "\\q"', 1, 11, "unknown escape"),
    ('start ::= "a"', 1, 1, "no rule 'root'"), ('root ::= "a" )', 1, 14, "unmatched"),
])
def test_errors_point_at_line_and_column(text, line, column, words):
    with pytest.raises(zel.GrammarError) as raised:
        zel.grammar(text)
    assert (raised.value.line, raised.value.column) == (line, column)
    assert words in str(raised.value) and f"line {line}, column {column}" in str(raised.value)



@pytest.mark.parametrize("make,valid,invalid", [
    (lambda: zel.sequence("a", zel.optional("b"), "c"), ["ac", "abc"], ["a", "abbc", "bc"]),
    (lambda: zel.choice("ab", "ac", zel.regex("a[0-9]+")), ["ab", "ac", "a12"], ["a", "ad", "abc"]),
    (lambda: zel.repetition(zel.regex("[0-9]+"), 2, None, separator=","),
     ["1,2", "1,22,333,4"], ["1", "1,", ",1,2", "1,,2"]),
    (lambda: zel.repetition("ab", 0, 2), ["ab", "abab"], ["ababab", "a"]),
    (lambda: zel.sequence(zel.literal("n="), zel.json_schema({"type": "integer", "maximum": 9})),
     ["n=9", "n=-40"], ["n=10", "n=", "n=1.0"]),
    (lambda: zel.regex(r"[A-Z]{3}-\d{4}"), ["ABC-1234"], ["ABC-123", "xABC-1234", "ABC-12345"]),
    (lambda: zel.grammar(ARITHMETIC, root="expr"), ["1+(2*3)"], ["1=1\n"]),  # another rule as the root
])
def test_combinators_and_regex(make, valid, invalid):
    grammar = make()
    assert [accepts(grammar, text) for text in valid + invalid] == [True] * len(valid) + [False] * len(invalid)
