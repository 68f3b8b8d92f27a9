"""TrieMap: string keys to lists of token ids."""
import pytest

import zel_core as zc


@pytest.mark.parametrize("burst_threshold, count", [(0, 200), (4, 200), (2**32 - 1, 70_000)])
def test_any_burst_threshold_holds_keys(burst_threshold, count):
    # A node must burst before it holds more keys than its 16-bit counts reach.
    t = zc.TrieMap(burst_threshold)
    for i in range(count):
        t.insert(f"k{i}", i)
    assert t.size == count and t.get("k123") == [123] and t.get("k") is None


def test_exact_and_prefix_keys_first_id_stays():
    t = zc.TrieMap()
    for i, k in enumerate(["a", "ab", "abc", "", "日本", "a\x00b", "a"]):
        t.insert(k, i)
    t.get("a").append(9)                # a read is a copy
    assert t.get_all(["abc", "ab", "a", "", "日本", "a\x00b", "abcd", "日"]) == \
        [[2], [1], [0], [3], [4], [5], [], []]
    assert t.erase("ab") == 1 and t.erase("ab") == 0 and t.get_all(["abc", "ab"]) == [[2], []]
    assert t.size == 5 and t.get("ab") is None


def test_insert_all_returns_independent_copy():
    t = zc.TrieMap()
    t.insert("x", 0)
    c = t.insert_all([("a", 1), ["b", 2], ("a", 3)])
    assert c is not t and t.get_all(["x", "a", "b"]) == c.get_all(["x", "a", "b"]) == [[0], [1], [2]]
    c.insert("new", 5)
    t.erase("x")
    assert t.get("new") is None and c.get("x") == [0] and (t.size, c.size) == (2, 4)


@pytest.mark.parametrize("items", [[("a", 1), ("b", -1)], [("a", 1), "ab"], [("a", 1, 2)]])
def test_insert_all_conversion_failure_leaves_map(items):
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert_all(items)
    assert t.empty


def test_key_length_limit():
    t = zc.TrieMap()
    t.insert("a" * 65534, 1)
    assert t.get("a" * 65534) == [1]
    for key in ("b" * 65535, "é" * 65534):
        with pytest.raises(ValueError, match="Key is too long."):
            t.insert(key, 2)
    with pytest.raises(ValueError, match="Key is too long."):
        t.insert_all([("ok", 1), ("z" * 65535, 2), ("late", 3)])
    assert t.get("ok") == [1] and t.get("late") is None and t.size == 2

