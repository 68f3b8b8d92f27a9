"""Walking texts through the front ends' grammars, whole or in chunks."""

import random

import zel_core as z


def chunks(text, seed=0):
    """``text`` cut into pieces of 1 to 6 characters (a stand-in for tokens)."""
    rng, cuts = random.Random(seed), [0]
    while cuts[-1] < len(text):
        cuts.append(cuts[-1] + rng.randint(1, 6))
    return [text[start:end] for start, end in zip(cuts, cuts[1:])]


def live(machine, pieces):
    steppers = machine.get_steppers()
    for piece in pieces:
        steppers = z.StateMachine.advance_all_basic(steppers, piece)
    return steppers


def accepts(machine, text, seeds=(0, 1)):
    """Whether ``machine`` takes ``text`` and may end there, fed by characters and in chunks (agreeing)."""
    answers = {any(s.has_reached_accept_state() for s in live(machine, list(text)))}
    for seed in seeds:
        answers.add(any(s.has_reached_accept_state() for s in live(machine, chunks(text, seed))))
    assert len(answers) == 1, f"chunking changed the answer for {text!r}"
    return answers.pop()


def accepted(machine, text):
    """The accepted Steppers after ``text``, fed one character at a time."""
    return [s for s in live(machine, list(text)) if s.has_reached_accept_state()]
