"""TrieMap: string keys to lists of token ids."""
import pytest

import zel_core as zc


@pytest.mark.parametrize("args", [(), (0,), (4,), (16384,), (65535,), (100000,), (2**32 - 1,)])
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


def test_burst_threshold_keyword():
    assert zc.TrieMap(burst_threshold=8).empty


def test_insert_keeps_first_id():
    t = zc.TrieMap()
    t.insert("a", 1)
    t.insert("a", 2)
    assert t.get("a") == [1] and t.size == 1


def test_get_returns_new_list():
    t = zc.TrieMap()
    t.insert("a", 1)
    t.get("a").append(9)
    assert t.get("a") == [1]


@pytest.mark.parametrize("key", ["", "a", "ab", "é", "日本語", "a\x00b", " "])
def test_keys_are_exact(key):
    t = zc.TrieMap()
    t.insert(key, 7)
    assert t.get(key) == [7] and t.size == 1
    for other in {key + "x", key[:-1] if key else "x"} - {key}:
        assert t.get(other) is None


def test_prefix_keys_independent():
    t = zc.TrieMap()
    for i, k in enumerate(["a", "ab", "abc", ""]):
        t.insert(k, i)
    assert t.get_all(["abc", "ab", "a", "", "abcd"]) == [[2], [1], [0], [3], []]
    assert t.erase("ab") == 1
    assert t.get_all(["abc", "ab", "a"]) == [[2], [], [0]]


@pytest.mark.parametrize("bad", [(-1,), (2**32,), (1.0,), ("1",), (None,)])
def test_insert_rejects_bad_id(bad):
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert("a", *bad)
    assert t.empty


@pytest.mark.parametrize("key", [b"a", 1, None])
def test_insert_rejects_non_str_key(key):
    with pytest.raises(TypeError):
        zc.TrieMap().insert(key, 1)


def test_max_unsigned_id():
    t = zc.TrieMap()
    t.insert("a", 2**32 - 1)
    assert t.get("a") == [2**32 - 1]


def test_insert_keywords_rejected():
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert(key="a", value=1)
    t.insert("a", 1)
    assert t.get("a") == [1]


def test_insert_all_returns_independent_copy():
    t = zc.TrieMap()
    t.insert("x", 0)
    c = t.insert_all([("a", 1), ["b", 2], ("a", 3)])
    assert c is not t and isinstance(c, zc.TrieMap)
    assert t.get_all(["x", "a", "b"]) == c.get_all(["x", "a", "b"]) == [[0], [1], [2]]
    c.insert("new", 5)
    t.erase("x")
    assert t.get("new") is None and c.get("x") == [0]
    assert (t.size, c.size) == (2, 4)


@pytest.mark.parametrize("items", [[("a", 1), ("b", -1)], [("a", 1), "ab"], [("a", 1, 2)], "ab"])
def test_insert_all_conversion_failure_leaves_map(items):
    t = zc.TrieMap()
    with pytest.raises(TypeError):
        t.insert_all(items)
    assert t.empty


def test_erase():
    t = zc.TrieMap()
    assert t.erase("a") == 0
    t.insert("a", 1)
    assert t.erase("a") == 1 and t.erase("a") == 0
    assert t.get("a") is None and t.empty


def test_get_missing_vs_get_all():
    t = zc.TrieMap()
    assert t.get("q") is None and t.get_all(["q"]) == [[]] and t.get_all([]) == []
    t.insert("q", 4)
    assert t.get_all(["q", "z", "q"]) == [[4], [], [4]]


def test_get_all_rejects_str():
    with pytest.raises(TypeError):
        zc.TrieMap().get_all("ab")


def test_key_length_limit():
    t = zc.TrieMap()
    t.insert("a" * 65534, 1)
    assert t.get("a" * 65534) == [1]
    with pytest.raises(ValueError, match="Key is too long."):
        t.insert("b" * 65535, 2)
    with pytest.raises(ValueError, match="Key is too long."):
        t.insert("é" * 65534, 3)
    assert t.size == 1


def test_insert_all_too_long_keeps_earlier_pairs():
    t = zc.TrieMap()
    with pytest.raises(ValueError, match="Key is too long."):
        t.insert_all([("ok", 1), ("z" * 65535, 2), ("late", 3)])
    assert t.get("ok") == [1] and t.get("late") is None


def test_clear_and_refill():
    t = zc.TrieMap(4)
    for i in range(50):
        t.insert(str(i), i)
    t.clear()
    assert t.empty is True and t.size == 0 and t.get("1") is None
    t.insert("1", 9)
    assert t.get("1") == [9] and t.size == 1 and t.empty is False


@pytest.mark.parametrize("attr", ["empty", "size"])
def test_read_only_properties(attr):
    with pytest.raises(AttributeError):
        setattr(zc.TrieMap(), attr, 1)


def test_docstrings():
    assert zc.TrieMap.insert.__doc__.rstrip().endswith(
        "Insert a key-value pair into the map.\n\nArgs:\n    key: The string key to insert\n"
        "    value: The token ID to associate with the key")
    assert "Returns:\n    Number of elements removed (0 or 1)" in zc.TrieMap.erase.__doc__
