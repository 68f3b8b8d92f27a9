"""TrieMap: string keys to lists of token ids."""
import pytest

import zel_core as zc


@pytest.mark.parametrize("args", [(), (0,), (4,), (100000,), (2**32 - 1,)])
def test_constructors(args):
    t = zc.TrieMap(*args)
    assert t.empty is True and t.size == 0
    for i in range(200):                # enough keys to burst a small hash node
        t.insert(f"k{i}", i)
    assert t.size == 200 and t.get("k123") == [123] and t.get("k") is None


@pytest.mark.parametrize("bad", [-1, 2**32, 1.5, "16", None])
def test_constructor_rejects(bad):
    with pytest.raises(TypeError):
        zc.TrieMap(bad)


def test_insert_keeps_first_id_and_get_copies():
    t = zc.TrieMap()
    t.insert("a", 1)
    t.insert("a", 2)
    t.get("a").append(9)
    assert t.get("a") == [1] and t.size == 1


def test_exact_and_prefix_keys():
    t = zc.TrieMap()
    for i, k in enumerate(["a", "ab", "abc", "", "日本", "a\x00b"]):
        t.insert(k, i)
    assert t.get_all(["abc", "ab", "a", "", "日本", "a\x00b", "abcd", "日"]) == \
        [[2], [1], [0], [3], [4], [5], [], []]
    assert t.erase("ab") == 1 and t.get_all(["abc", "ab", "a"]) == [[2], [], [0]]


@pytest.mark.parametrize("args, kwargs", [
    (("a", -1), {}), (("a", 2**32), {}), (("a", 1.0), {}), (("a", None), {}), ((b"a", 1), {}),
    ((1, 1), {}), ((), {"key": "a", "value": 1}),   # positional-only
])
def test_insert_rejects(args, kwargs):
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert(*args, **kwargs)
    assert t.empty
    t.insert("a", 2**32 - 1)
    assert t.get("a") == [2**32 - 1]


def test_insert_all_returns_independent_copy():
    t = zc.TrieMap()
    t.insert("x", 0)
    c = t.insert_all([("a", 1), ["b", 2], ("a", 3)])
    assert c is not t and isinstance(c, zc.TrieMap)
    assert t.get_all(["x", "a", "b"]) == c.get_all(["x", "a", "b"]) == [[0], [1], [2]]
    c.insert("new", 5)
    t.erase("x")
    assert t.get("new") is None and c.get("x") == [0] and (t.size, c.size) == (2, 4)


@pytest.mark.parametrize("items", [[("a", 1), ("b", -1)], [("a", 1), "ab"], [("a", 1, 2)], "ab"])
def test_insert_all_conversion_failure_leaves_map(items):
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert_all(items)
    assert t.empty


def test_erase_get_and_get_all_on_missing():
    t = zc.TrieMap()
    assert t.erase("q") == 0 and t.get("q") is None and t.get_all(["q"]) == [[]]
    t.insert("q", 4)
    assert t.get_all(["q", "z", "q"]) == [[4], [], [4]]
    assert t.erase("q") == 1 and t.erase("q") == 0 and t.empty
    with pytest.raises(TypeError):
        t.get_all("ab")


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


def test_clear_and_refill():
    t = zc.TrieMap(4)
    for i in range(50):
        t.insert(str(i), i)
    t.clear()
    assert t.empty is True and t.size == 0 and t.get("1") is None
    t.insert("1", 9)
    assert t.get("1") == [9] and t.size == 1 and t.empty is False
    with pytest.raises(AttributeError):
        t.size = 3
