"""Walks a small grammar built from Python leaves over a text, token by token.

Prints the live Steppers after each token and the values they accumulated.
"""

import time

import zel_core
from zel.leaves import CharacterClass, Literal

DIGITS = "0123456789"
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def record_grammar() -> zel_core.StateMachine:
    """name=number; repeated, e.g. "width=80;height=24;"."""
    name = CharacterClass(LETTERS, identifier="name")
    number = CharacterClass(DIGITS, identifier="number")
    return zel_core.StateMachine(
        {
            0: [(name, 1)],
            1: [(Literal("="), 2)],
            2: [(number, 3)],
            3: [(Literal(";"), "$")],
            "$": [(name, 1)],
        },
        identifier="records",
    )


def main() -> None:
    grammar = record_grammar()
    print(repr(grammar))
    tokens = ["wid", "th=", "8", "0;he", "ight", "=24;"]
    steppers = grammar.get_steppers()
    started = time.perf_counter()
    for token in tokens:
        steppers = zel_core.StateMachine.advance_all_basic(steppers, token)
        print(f"{token!r:>8} -> {len(steppers)} stepper(s):", ", ".join(str(s) for s in steppers))
    elapsed = time.perf_counter() - started
    accepted = [s for s in steppers if s.has_reached_accept_state()]
    print()
    for stepper in accepted:
        print(repr(stepper))
        print("text:", stepper.get_raw_value())
    print(f"\n{len(tokens)} tokens in {elapsed * 1e3:.2f} ms "
          f"({elapsed / len(tokens) * 1e6:.0f} us per token)")


if __name__ == "__main__":
    main()
