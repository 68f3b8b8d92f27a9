"""What the model writes is what the Steppers consume and the loops emit:
learned sequences stay where their mask learned them, copies of a Stepper
are kept once, leaves' refusals reach masks, and ending is the model's
choice once the grammar may end."""

import threading

import numpy as np
import pytest
import zel_core as z
from engine_kit import Sampler, make_engine
from zel.decoding import generate, generate_by_consuming
from zel.json_grammar import StringMachine, json_object_grammar
from zel.leaves import CharacterClass, Literal
from zel.vocabularies import synthetic_vocabulary


@pytest.fixture(scope="module")
def vocab():
    return synthetic_vocabulary(2000)


def json_engine(vocab, **options):
    engine = z.Engine(vocab.vocabulary, vocab.encode, vocab.decode, **options)
    engine.state_machine = json_object_grammar()
    engine.reset()
    return engine


def zeros(vocab):
    return np.zeros((1, vocab.size), np.float32)


def test_a_learned_sequence_applies_only_at_the_position_that_learned_it(vocab):
    t = vocab.vocabulary["t"]
    engine, at_value = json_engine(vocab), json_engine(vocab)
    for each in (engine, at_value):
        each.consume_text('{"k":')
        each.mask_invalid_tokens(zeros(vocab))
    learned = engine.learned_sequence(t)
    assert vocab.decode(learned) == "true" and learned[0] == t
    # At the position that learned it, "t" stands for the whole keyword and
    # the history records every id of it.
    assert at_value.consume(t, token_healing=False) == t
    assert at_value.steppers[0].get_raw_value() == '{"k":true'
    assert at_value.steppers[0].get_token_ids_history()[-len(learned):] == learned
    # Anywhere else it is the letter t, though the mapping still holds it.
    engine.consume_text('"')
    assert engine.learned_sequence(t) is None and t in engine.multi_token_mapping
    assert engine.consume(t, token_healing=False) == t
    assert engine.steppers[0].get_raw_value() == '{"k":"t'
    engine.reset()
    engine.consume_text('{"')
    assert engine.select_next_tokens(zeros(vocab), Sampler(t)) == [t]
    assert engine.steppers[0].get_raw_value() == '{"t'
    engine.state_machine = Literal("tea")
    engine.reset()
    assert engine.consume(t, token_healing=False) == t


def test_a_mapping_the_caller_assigns_applies_until_the_next_mask(vocab):
    t, r, u, e = (vocab.vocabulary[c] for c in "true")
    engine = json_engine(vocab)
    engine.consume_text('{"k": ')
    engine.multi_token_mapping = {t: [t, r, u, e]}
    assert engine.learned_sequence(t) == [t, r, u, e]
    engine.consume_text('"')
    engine.mask_invalid_tokens(zeros(vocab))  # inside a string: learns nothing
    assert engine.learned_sequence(t) is None
    assert engine.consume(t, token_healing=False) == t
    assert engine.steppers[0].get_raw_value() == '{"k": "t'


def position(stepper):
    levels = []
    while stepper is not None:
        levels.append((id(stepper.state_machine), stepper.current_state, stepper.target_state,
                       stepper.consumed_character_count, stepper.get_raw_value()))
        stepper = stepper.sub_stepper
    return tuple(levels)


def test_equal_steppers_from_different_draws_are_kept_once():
    # Three draws whose candidates interleave in the delta order (which
    # breaks ties by address, so it is tried on many fresh grammars): two of
    # them can leave a Stepper at the same position with different scores.
    for _ in range(40):
        a, b = Literal("a"), Literal("a")
        grammar = z.StateMachine({0: [(a, 1), (CharacterClass("ab"), 1), (b, 1)],
                                  1: [(CharacterClass("ab"), "$")]})
        engine, _ = make_engine(["aa", "aba", "ba"], grammar, max_resamples=6)
        engine.select_next_tokens(np.array([[-1.0, -2.0, -3.0]], np.float32), Sampler(1, 0, 2))
        positions = [position(s) for s in engine.steppers]
        assert len(positions) == len(set(positions))


def test_histories_are_shared_by_clones_and_read_as_lists():
    word = Literal("ab")
    grammar = z.StateMachine({0: [(word, 0)]}, end_states=[0])
    steppers = grammar.get_steppers()
    for _ in range(2000):
        steppers = z.StateMachine.advance_all_basic(steppers, "ab")
    stepper = steppers[0]
    history = stepper.history
    assert len(history) == 2000 and all(h.get_raw_value() == "ab" for h in history)
    copy = stepper.clone()
    copy.add_to_history(word.get_new_stepper())
    assert len(stepper.history) == 2000 and len(copy.history) == 2001
    assert stepper.get_raw_value() == "ab" * 2000
    # A long history goes without recursion when dropped, even on a small stack.
    def drop():
        deep = Literal("x").get_new_stepper()
        deep.history = [word.get_new_stepper()] * 200_000
        del deep
    previous = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=drop)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)


def test_refusals_of_a_nested_leaf_reach_the_mask(vocab):
    newline, tab = vocab.vocabulary["\n"], vocab.vocabulary["\t"]
    nested = json_engine(vocab)
    nested.consume_text('{"a": "')
    root = z.Engine(vocab.vocabulary, vocab.encode, vocab.decode)
    root.state_machine = StringMachine()
    root.reset()
    root.consume_text('"')
    masks = []
    for engine in (nested, root):
        engine.mask_invalid_tokens(scores := zeros(vocab))
        masks.append(np.isinf(scores))
        assert masks[-1][0, newline] and masks[-1][0, tab]
        assert engine.consume(newline, token_healing=False) is None
    assert (masks[0] == masks[1]).all()


DIGITS = [str(d) for d in range(10)]
END = len(DIGITS)


def model_ending_after(count):
    """Prefers the digit 7 until `count` tokens are written, then the end."""
    def scores(ids):
        row = np.full((1, END + 1), -5.0, np.float32)
        row[0, END if len(ids) >= count else 7] = 0.0
        return row
    return scores


def greedy(log_probs):
    return np.array([[int(np.argmax(log_probs))]], np.int32)


@pytest.mark.parametrize("loop", [generate, generate_by_consuming])
def test_the_model_ends_the_text_with_an_end_token(loop):
    # One to eight digits; the last id is an end token with no text.
    engine, _ = make_engine(DIGITS + [""], CharacterClass("0123456789", max_length=8), control_tokens=[END])
    assert engine.compute_token_mask(END + 1)[END] is False  # nothing written: the grammar cannot end
    result = loop(engine, model_ending_after(3), greedy, end_tokens=[END])
    assert result.token_ids == [7, 7, 7] and result.accepted
    # Never choosing the end, the model stops where nothing can follow.
    result = loop(engine, model_ending_after(99), greedy, end_tokens=[END])
    assert result.token_ids == [7] * 8 and result.accepted
    # Without end tokens the loop stops as soon as the grammar accepts.
    assert loop(engine, model_ending_after(3), greedy).token_ids == [7]

    engine.reset()
    engine.consume(7)
    mask = engine.compute_token_mask(END + 1)
    assert mask[END] and mask[7]  # the end is allowed once the grammar may end, though it may go on
