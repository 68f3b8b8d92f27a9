"""Long texts are spelled and healed in time proportional to their length
(the trie's own longest-prefix search is quadratic in the text it is given,
which made spelling a long text cubic), and a long native loop notices
Ctrl-C."""

import signal
import subprocess
import sys
import textwrap
import time


def run_child(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


def test_spelling_and_healing_a_hundred_thousand_characters():
    child = run_child("""
        import zel_core as z
        from zel.leaves import CharacterClass
        texts = ["a", "aa", "b"]
        engine = z.Engine({f"<{i}>": i for i in range(3)}, lambda s: [0], lambda ids: texts[ids[0]])
        text = "a" * 100_001
        spellings = engine.break_into_tokens(text)
        assert {pieces[0] for pieces in spellings} == {"a", "aa"}
        assert all("".join(pieces) == text for pieces in spellings)

        grammar = z.StateMachine({0: [(CharacterClass("a"), "$")]})
        healed = z.StateMachine.advance_all(grammar.get_steppers(), text + "b", engine.vocabulary, True)
        assert [(d.token, d.was_healed) for d in healed] == [("aa", True)]
        engine.state_machine = grammar
        engine.reset()
        engine.consume_text(text + "b", token_healing=True)
        assert [s.get_raw_value() for s in engine.steppers] == [text]
        print("done")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "done"


def test_spelling_with_one_very_long_key():
    # Prefixes are tested only at the lengths keys have, so one long key no
    # longer makes every position cost its length squared.
    child = run_child("""
        import zel_core as z
        texts = ["a", "a" * 16_000, "b"]
        engine = z.Engine({f"<{i}>": i for i in range(3)}, None, lambda ids: texts[ids[0]])
        text = "a" * 200_000
        spellings = engine.break_into_tokens(text)
        assert sorted(len(pieces[0]) for pieces in spellings) == [1, 16_000]
        assert all("".join(pieces) == text for pieces in spellings)
        print("done")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "done"


INTERRUPTED_SPELLING = """
    import numpy as np, zel_core as z
    # Every position of the text is tried against 500 key lengths before "a"
    # matches: minutes of native work.
    texts = ["a"] + ["b" * n for n in range(2, 502)]
    engine = z.Engine({f"<{i}>": i for i in range(len(texts))}, None, lambda ids: texts[ids[0]])

    class LongContinuation(z.Stepper):
        def get_valid_continuations(self):
            print("spelling", flush=True)
            return ["a" * 4_000_000]

    engine.steppers = before = [LongContinuation(z.StateMachine())]
    scores = np.zeros((1, len(texts)), np.float32)
    try:
        engine.mask_invalid_tokens(scores)
    except KeyboardInterrupt:
        print("interrupted", engine.steppers[0] is before[0] and not scores.any(), flush=True)
"""


def test_spelling_a_long_text_notices_ctrl_c():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED_SPELLING)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "spelling"
        time.sleep(0.5)  # into the native loop
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert out.strip() == "interrupted True"
