"""GBNF grammar text (llama.cpp's dialect) to a ``zel_core.StateMachine``.

``grammar(text, root="root")`` parses the rules (see ``zel.gbnf_syntax``)
and compiles them: a rule that refers to itself, directly or through others,
becomes a machine named after the rule (recursion is a machine that refers
to itself); every other rule is regular and becomes part of a native
``Regex`` leaf. Runs of regular items fold into one leaf, so that the
automaton, not the boundary between two leaves, decides where one item ends
and the next begins (a leaf reads the longest part of a token it can). A
regular rule keeps a leaf of its own, named after it, where the cut before
and after it is exact: after a leaf none of whose texts goes on to a longer
one. Machines are named after their rules too, so a Stepper's
``get_identifier()`` names the rule being written.

Where a machine meets a leaf that could read on into what follows it, the
leaf still reads as far as it can within one token: a token that a shorter
reading would have fitted there is refused.

Leaves never match the empty text (the core steps into a leaf only with a
character), so each part is compiled in its non-empty form together with
whether it may be empty; a sequence skips the parts that may be empty by
edges of its own. A grammar whose root may be empty accepts its non-empty
texts only.
"""

from __future__ import annotations

import zel_core
from zel_core.leaves import Regex

from .gbnf_syntax import (Alternatives, CharacterSet, GrammarError, Literal, Reference, Repeat,
                          Sequence, parse_grammar)
from .schema.string_patterns import code_point

__all__ = ["GrammarError", "grammar"]


def _class(ranges: list) -> str:
    if not ranges:
        return "[^\\u0000-\\U0010FFFF]"
    return "[" + "".join(code_point(low) if low == high else f"{code_point(low)}-{code_point(high)}"
                         for low, high in ranges) + "]"


class _Piece:
    """A compiled part: its non-empty form (a native pattern or a machine;
    None when it matches only the empty text), whether it may be empty, and
    the rule it is exactly, if any."""

    __slots__ = ("node", "nullable", "name")

    def __init__(self, node, nullable: bool, name: str | None = None):
        self.node = node
        self.nullable = nullable
        self.name = name

    @property
    def is_pattern(self) -> bool:
        return isinstance(self.node, str)


def _group(pattern: str) -> str:
    return f"(?:{pattern})"


class _Compiler:
    def __init__(self, rules: dict):
        self.rules = rules
        self.recursive = self.find_recursive()
        self.machines: dict[str, zel_core.StateMachine] = {}
        self.nullable: dict[str, bool] = {}
        self.regular: dict[str, _Piece] = {}
        self.leaves: dict[tuple, zel_core.StateMachine] = {}

    def references(self, node) -> list:
        if isinstance(node, Reference):
            return [node]
        if isinstance(node, Sequence):
            return [r for item in node.items for r in self.references(item)]
        if isinstance(node, Alternatives):
            return [r for option in node.options for r in self.references(option)]
        if isinstance(node, Repeat):
            return self.references(node.item)
        return []

    def find_recursive(self) -> set[str]:
        """The rules that lead back to a rule that leads back to itself:
        they cannot be regular."""
        graph = {}
        for name, rule in self.rules.items():
            targets = set()
            for reference in self.references(rule.body):
                if reference.name not in self.rules:
                    raise GrammarError(f"the rule {reference.name!r} is not defined",
                                       reference.line, reference.column)
                targets.add(reference.name)
            graph[name] = targets

        def reach(start):
            seen, stack = set(), [start]
            while stack:
                for target in graph[stack.pop()]:
                    if target not in seen:
                        seen.add(target)
                        stack.append(target)
            return seen

        reachable = {name: reach(name) for name in graph}
        cyclic = {name for name in graph if name in reachable[name]}
        return {name for name in graph if name in cyclic or reachable[name] & cyclic}

    # ------------------------------------------------------------ nullability

    def may_be_empty(self, node) -> bool:
        if isinstance(node, Literal):
            return not node.text
        if isinstance(node, CharacterSet):
            return False
        if isinstance(node, Reference):
            return self.nullable.get(node.name, False)
        if isinstance(node, Sequence):
            return all(self.may_be_empty(item) for item in node.items)
        if isinstance(node, Alternatives):
            return any(self.may_be_empty(option) for option in node.options)
        return node.least == 0 or self.may_be_empty(node.item)

    def settle_nullable(self) -> None:
        changed = True
        while changed:
            changed = False
            for name, rule in self.rules.items():
                if not self.nullable.get(name) and self.may_be_empty(rule.body):
                    self.nullable[name] = True
                    changed = True

    # ------------------------------------------------------------ pieces

    def leaf(self, pattern: str, name: str | None) -> zel_core.StateMachine:
        key = (pattern, name)
        if key not in self.leaves:
            self.leaves[key] = Regex(pattern, identifier=name)
        return self.leaves[key]

    def ends_cleanly(self, piece: _Piece) -> bool:
        """Whether no text of the pattern leaf goes on to a longer one."""
        leaf = self.leaf(piece.node, None)
        assert isinstance(leaf, Regex)
        dfa = leaf.dfa
        return not any(dfa.is_accepting(state) and dfa.can_continue(state)
                       for state in range(dfa.state_count))

    def machine(self, piece: _Piece) -> zel_core.StateMachine:
        return self.leaf(piece.node, piece.name) if piece.is_pattern else piece.node

    def rule_piece(self, name: str) -> _Piece:
        if name in self.recursive:
            if name not in self.machines:
                self.machines[name] = zel_core.StateMachine(identifier=name)
                body = self.piece(self.rules[name].body)
                if body.node is None:
                    raise GrammarError(f"the rule {name!r} matches only the empty text",
                                       self.rules[name].line, self.rules[name].column)
                self.machines[name].state_graph = {0: [(self.machine(body), "$")]}
            return _Piece(self.machines[name], self.nullable.get(name, False), name)
        if name not in self.regular:
            body = self.piece(self.rules[name].body)
            self.regular[name] = _Piece(body.node, body.nullable, name)
        return self.regular[name]

    def piece(self, node) -> _Piece:
        if isinstance(node, Literal):
            if not node.text:
                return _Piece(None, True)
            return _Piece("".join(code_point(ord(c)) for c in node.text), False)
        if isinstance(node, CharacterSet):
            return _Piece(_class(node.ranges), False)
        if isinstance(node, Reference):
            return self.rule_piece(node.name)
        if isinstance(node, Alternatives):
            return self.choice([self.piece(option) for option in node.options])
        if isinstance(node, Repeat):
            return self.repeat(self.piece(node.item), node.least, node.most)
        return self.sequence([self.piece(item) for item in node.items])

    def choice(self, pieces: list[_Piece]) -> _Piece:
        nullable = any(piece.nullable for piece in pieces)
        present = [piece for piece in pieces if piece.node is not None]
        if not present:
            return _Piece(None, True)
        if len(present) == 1:
            return _Piece(present[0].node, nullable, present[0].name)
        if all(piece.is_pattern for piece in present):
            folded = _Piece("|".join(_group(piece.node) for piece in present), nullable)
            # Named alternatives keep leaves of their own where that is safe.
            if not any(piece.name for piece in present) or not self.ends_cleanly(folded):
                return folded
        # Each alternative into a state of its own (see zel.combinators).
        machines = [self.machine(piece) for piece in present]
        return _Piece(zel_core.StateMachine(
            {0: [(machine, index + 1) for index, machine in enumerate(machines)]},
            end_states=list(range(1, len(machines) + 1))), nullable)

    def repeat(self, item: _Piece, least: int, most: int | None) -> _Piece:
        if item.node is None or most == 0:
            return _Piece(None, True)
        if item.nullable:
            least = 0
        first = max(least, 1)
        if item.is_pattern:
            pattern = _group(item.node) + f"{{{first},{'' if most is None else most}}}"
            return _Piece(pattern, least == 0)
        machine = self.machine(item)
        graph: dict = {}
        for count in range(first):
            graph[count] = [(machine, count + 1)]
        if most is None:
            # Two states take turns (see zel.combinators.repetition).
            graph[first] = [(machine, first + 1)]
            graph[first + 1] = [(machine, first)]
            ends = [first, first + 1]
        else:
            for count in range(first, most):
                graph[count] = [(machine, count + 1)]
            ends = list(range(first, most + 1))
        return _Piece(zel_core.StateMachine(graph, end_states=ends), least == 0)

    def sequence(self, pieces: list[_Piece]) -> _Piece:
        pieces = [piece for piece in pieces if piece.node is not None or not piece.nullable]
        if any(piece.node is None for piece in pieces):
            raise ValueError("a part that matches nothing")  # not produced by the parser
        # Fold runs of patterns into one leaf, except that a rule stands in
        # a leaf of its own, named after it, where the cut is safe: after a
        # leaf none of whose texts goes on to a longer one (a leaf takes the
        # longest run of a token it can, and then stops exactly at its end).
        chunks: list[_Piece] = []
        run: list[_Piece] = []

        def flush():
            if run:
                chunks.append(run[0] if len(run) == 1 else self.pattern_run(run))
                run.clear()

        for piece in pieces:
            if not piece.is_pattern:
                flush()
                chunks.append(piece)
                continue
            if piece.name is not None and (not run or self.ends_cleanly(self.pattern_run(run))):
                flush()
                run.append(piece)
                if self.ends_cleanly(piece):
                    flush()
                continue
            run.append(piece)
        flush()
        if not chunks:
            return _Piece(None, True)
        if len(chunks) == 1:
            return chunks[0]
        machines = [self.machine(chunk) for chunk in chunks]
        count = len(chunks)
        graph: dict = {}
        for start in range(count):
            edges = []
            for index in range(start, count):
                edges.append((machines[index], index + 1))
                if not chunks[index].nullable:
                    break
            graph[start] = edges
        ends = [state for state in range(1, count + 1)
                if all(chunk.nullable for chunk in chunks[state:])]
        return _Piece(zel_core.StateMachine(graph, end_states=ends),
                      all(chunk.nullable for chunk in chunks))

    def pattern_run(self, run: list[_Piece]) -> _Piece:
        if len(run) == 1:
            return run[0]
        def whole(piece: _Piece) -> str:
            return _group(piece.node) + ("?" if piece.nullable else "")

        def non_empty(rest: list[_Piece]) -> str | None:
            """The run ``rest`` without its empty text."""
            if not rest:
                return None
            head = _group(rest[0].node) + "".join(whole(piece) for piece in rest[1:])
            if not rest[0].nullable:
                return head
            tail = non_empty(rest[1:])
            return head if tail is None else f"{head}|{tail}"

        nullable = all(piece.nullable for piece in run)
        if not nullable:
            return _Piece("".join(whole(piece) for piece in run), False)
        return _Piece(non_empty(run), True)


def grammar(text: str, root: str = "root") -> zel_core.StateMachine:
    """The machine for the rule ``root`` of a GBNF grammar text.

    Raises ``GrammarError`` (a ``ValueError``) with the line and column of
    the fault: a syntax error, an undefined or twice-defined rule, a missing
    root.
    """
    rules = parse_grammar(text)
    if root not in rules:
        raise GrammarError(f"no rule {root!r}", 1, 1)
    compiler = _Compiler(rules)
    compiler.settle_nullable()
    piece = compiler.rule_piece(root)
    if piece.node is None:
        rule = rules[root]
        raise GrammarError(f"the rule {root!r} matches only the empty text", rule.line, rule.column)
    return compiler.machine(piece)
