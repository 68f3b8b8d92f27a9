"""Long texts are spelled and healed in time proportional to their length
(the trie's own longest-prefix search is quadratic in the text it is given,
which made spelling a long text cubic)."""

import subprocess
import sys
import textwrap


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
