"""Helpers for the Engine tests: engines over tiny vocabularies, scripted
steppers and samplers."""

import os
import subprocess
import sys

import numpy as np
import zel_core as z


class Tokenizer:
    """Token i decodes to texts[i]; encode spells text as code points. Calls are recorded."""

    def __init__(self, texts):
        self.texts, self.encoded, self.decoded = list(texts), [], []

    def encode(self, text):
        self.encoded.append(text)
        return [ord(c) for c in text]

    def decode(self, ids):
        self.decoded.append(list(ids))
        return "".join(self.texts[i] for i in ids)


def make_engine(texts, grammar=None, **options):
    """An Engine with keys "<i>" decoding to texts[i], reset onto `grammar` if given."""
    tokenizer = Tokenizer(texts)
    engine = z.Engine({f"<{i}>": i for i in range(len(texts))}, tokenizer.encode, tokenizer.decode, **options)
    if grammar is not None:
        engine.state_machine = grammar
        engine.reset()
    return engine, tokenizer


class Scripted(z.StateMachine):
    """A leaf whose steppers take any token whole (or raise `error`) and answer
    the mask questions from these settings."""

    def __init__(self, valid=(), invalid=(), any_token=False, accepted=False, error=None):
        super().__init__()
        self.valid, self.invalid, self.any_token, self.accepted, self.error = valid, invalid, any_token, accepted, error

    def get_new_stepper(self, state=None):
        return ScriptedStepper(self)


class ScriptedStepper(z.Stepper):
    def consume(self, token):
        if self.state_machine.error is not None:
            raise self.state_machine.error
        return [self.step(self.get_raw_value() + token, None)]

    def accepts_any_token(self):
        return self.state_machine.any_token

    def get_valid_continuations(self):
        return list(self.state_machine.valid)

    def get_invalid_continuations(self):
        return list(self.state_machine.invalid)

    def has_reached_accept_state(self):
        return self.state_machine.accepted


def scripted(**settings):
    return Scripted(**settings).get_new_stepper()


class Sampler:
    """Answers the given ids in turn (the last one forever) as (1, 1) arrays, or
    raises an exception given in their place; records what it was called with."""

    def __init__(self, *ids, dtype=np.int32):
        self.ids, self.dtype, self.seen, self.values = ids, dtype, [], []

    @property
    def calls(self):
        return len(self.seen)

    def __call__(self, log_probs):
        self.seen.append(log_probs)
        self.values.append(np.array(log_probs, copy=True))
        token = self.ids[min(len(self.seen), len(self.ids)) - 1]
        if isinstance(token, BaseException):
            raise token
        return np.array([[token]], dtype=self.dtype)


def bits(array):
    """The element bit patterns of a numeric array, as unsigned integers."""
    return np.ascontiguousarray(array).view(f"u{array.dtype.itemsize}")


def run_isolated(code, timeout=60):
    """Runs `code` in a fresh interpreter, for cases that could crash or hang it."""
    path = os.pathsep.join([os.path.dirname(os.path.abspath(__file__)), *sys.path])
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=path))
