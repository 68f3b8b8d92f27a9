"""The syntax of GBNF grammars (llama.cpp's dialect), parsed into a tree.

    root   ::= value ws            # rules: a name, "::=", alternatives
    value  ::= "lit" | [a-z]+ | ( x y )* | x{2,5} | . | other-rule

Rules may run over several lines; a rule ends where the next ``name ::=``
begins. String literals and classes take the escapes ``\\n \\r \\t \\\\ \\"
\\] \\[ \\- \\xHH \\uHHHH \\UHHHHHHHH``; ``#`` starts a comment. Errors name
the line and column.
"""

from __future__ import annotations

from dataclasses import dataclass, field

MAX_CODE_POINT = 0x10FFFF
_NAME_CHARACTERS = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "[": "[", "]": "]",
            "-": "-", "/": "/", "'": "'", "0": "\0", "f": "\f", "v": "\v", "a": "\a",
            "b": "\b", "e": "\x1b", " ": " ", "^": "^", ".": ".", "|": "|", "(": "(", ")": ")",
            "*": "*", "+": "+", "?": "?", "{": "{", "}": "}", "#": "#"}


class GrammarError(ValueError):
    """A grammar text that is not valid GBNF; ``line`` and ``column`` count from 1."""

    def __init__(self, message: str, line: int, column: int):
        self.line = line
        self.column = column
        super().__init__(f"line {line}, column {column}: {message}")


@dataclass
class Literal:
    text: str


@dataclass
class CharacterSet:
    ranges: list  # (low, high) code points, already negated where the class was


@dataclass
class Reference:
    name: str
    line: int
    column: int


@dataclass
class Sequence:
    items: list = field(default_factory=list)


@dataclass
class Alternatives:
    options: list = field(default_factory=list)


@dataclass
class Repeat:
    item: object
    least: int
    most: int | None


@dataclass
class Rule:
    name: str
    body: object
    line: int
    column: int


def _complement(ranges: list) -> list:
    result, at = [], 0
    for low, high in sorted(ranges):
        if low > at:
            result.append((at, low - 1))
        at = max(at, high + 1)
    if at <= MAX_CODE_POINT:
        result.append((at, MAX_CODE_POINT))
    return result


class _Parser:
    def __init__(self, text: str):
        self.text = text
        self.at = 0

    def where(self, at: int | None = None) -> tuple[int, int]:
        at = self.at if at is None else at
        line = self.text.count("\n", 0, at) + 1
        return line, at - (self.text.rfind("\n", 0, at) + 1) + 1

    def fail(self, message: str, at: int | None = None) -> GrammarError:
        return GrammarError(message, *self.where(at))

    def skip_space(self) -> None:
        while self.at < len(self.text):
            c = self.text[self.at]
            if c in " \t\r\n":
                self.at += 1
            elif c == "#":
                end = self.text.find("\n", self.at)
                self.at = len(self.text) if end < 0 else end
            else:
                return

    def peek(self) -> str:
        return self.text[self.at] if self.at < len(self.text) else ""

    def name(self) -> str:
        start = self.at
        while self.at < len(self.text) and self.text[self.at] in _NAME_CHARACTERS:
            self.at += 1
        return self.text[start:self.at]

    def rule_starts_here(self) -> bool:
        saved = self.at
        found = bool(self.name())
        self.skip_space()
        found = found and self.text.startswith("::=", self.at)
        self.at = saved
        return found

    def rules(self) -> list[Rule]:
        rules = []
        self.skip_space()
        while self.at < len(self.text):
            start = self.at
            name = self.name()
            if not name:
                raise self.fail(f"expected a rule name, found {self.peek()!r}")
            self.skip_space()
            if not self.text.startswith("::=", self.at):
                raise self.fail("expected '::=' after the rule name")
            self.at += 3
            body = self.alternatives(nested=False)
            rules.append(Rule(name, body, *self.where(start)))
            self.skip_space()
        return rules

    def alternatives(self, nested: bool):
        options = [self.sequence(nested)]
        while self.peek() == "|":
            self.at += 1
            options.append(self.sequence(nested))
        return options[0] if len(options) == 1 else Alternatives(options)

    def sequence(self, nested: bool):
        items = []
        while True:
            self.skip_space()
            c = self.peek()
            if c == "" or c == "|" or (c == ")" and nested):
                break
            if c == ")":
                raise self.fail("an unmatched ')'")
            if not nested and c in _NAME_CHARACTERS and self.rule_starts_here():
                break
            item = self.element()
            items.append(self.postfix(item))
        return items[0] if len(items) == 1 else Sequence(items)

    def postfix(self, item):
        while True:
            c = self.peek()
            if c == "*":
                item = Repeat(item, 0, None)
            elif c == "+":
                item = Repeat(item, 1, None)
            elif c == "?":
                item = Repeat(item, 0, 1)
            elif c == "{":
                item = self.counted(item)
                continue
            else:
                return item
            self.at += 1

    def counted(self, item):
        start = self.at
        end = self.text.find("}", start)
        if end < 0:
            raise self.fail("an unclosed '{'")
        parts = [part.strip() for part in self.text[start + 1:end].split(",")]
        try:
            if len(parts) == 1:
                least = most = int(parts[0])
            elif len(parts) == 2:
                least = int(parts[0]) if parts[0] else 0
                most = int(parts[1]) if parts[1] else None
            else:
                raise ValueError
        except ValueError:
            raise self.fail("a repetition must read {m}, {m,}, {,n} or {m,n}", start) from None
        if least < 0 or (most is not None and most < least):
            raise self.fail("a repetition with its maximum below its minimum", start)
        if max(least, most or 0) > 10000:
            raise self.fail("a repetition count above 10000", start)
        self.at = end + 1
        return Repeat(item, least, most)

    def element(self):
        start = self.at
        c = self.peek()
        if c == '"':
            self.at += 1
            text = []
            while True:
                if self.at >= len(self.text) or self.peek() == "\n":
                    raise self.fail("an unclosed string literal", start)
                c = self.text[self.at]
                if c == '"':
                    self.at += 1
                    break
                text.append(self.character())
            return Literal("".join(text))
        if c == "[":
            return self.character_class()
        if c == ".":
            self.at += 1
            return CharacterSet([(0, MAX_CODE_POINT)])
        if c == "(":
            self.at += 1
            inner = self.alternatives(nested=True)
            self.skip_space()
            if self.peek() != ")":
                raise self.fail("an unclosed '('", start)
            self.at += 1
            return inner
        if c in _NAME_CHARACTERS:
            line, column = self.where()
            return Reference(self.name(), line, column)
        if c == "<":
            raise self.fail("token references like <...> are not supported")
        raise self.fail(f"unexpected {c!r}")

    def character(self) -> str:
        c = self.text[self.at]
        if c != "\\":
            self.at += 1
            return c
        start = self.at
        self.at += 1
        kind = self.peek()
        if kind in ("x", "u", "U"):
            size = {"x": 2, "u": 4, "U": 8}[kind]
            digits = self.text[self.at + 1:self.at + 1 + size]
            try:
                value = int(digits, 16) if len(digits) == size else -1
            except ValueError:
                value = -1
            if not 0 <= value <= MAX_CODE_POINT:
                raise self.fail(f"a malformed \\{kind} escape", start)
            self.at += 1 + size
            return chr(value)
        if kind in _ESCAPES:
            self.at += 1
            return _ESCAPES[kind]
        raise self.fail(f"an unknown escape \\{kind}", start)

    def character_class(self):
        start = self.at
        self.at += 1
        negated = self.peek() == "^"
        if negated:
            self.at += 1
        ranges = []
        while True:
            if self.at >= len(self.text):
                raise self.fail("an unclosed character class", start)
            if self.peek() == "]":
                self.at += 1
                break
            low = ord(self.character())
            if self.peek() == "-" and self.text[self.at + 1:self.at + 2] not in ("]", ""):
                self.at += 1
                high = ord(self.character())
                if high < low:
                    raise self.fail("a class range running backwards", start)
                ranges.append((low, high))
            else:
                ranges.append((low, low))
        return CharacterSet(_complement(ranges) if negated else sorted(ranges))


def parse_grammar(text: str) -> dict[str, Rule]:
    """The rules of a GBNF text by name, in order; raises ``GrammarError``."""
    parser = _Parser(text)
    rules: dict[str, Rule] = {}
    for rule in parser.rules():
        if rule.name in rules:
            raise GrammarError(f"the rule {rule.name!r} is defined twice", rule.line, rule.column)
        rules[rule.name] = rule
    return rules
