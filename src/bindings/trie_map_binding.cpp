// TrieMap: the vocabulary trie; converts and delegates.
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/registration.hpp"
#include "support/trie_map.hpp"

namespace nb = nanobind;

namespace zel::bindings {

namespace {

using IdList = std::vector<unsigned int>;

nb::object get(const TrieMap &map, const std::string &key) {
    auto found = map.find(key);
    if (found == map.end())
        return nb::none();
    return nb::cast(found.value());
}

std::vector<IdList> get_all(const TrieMap &map, const std::vector<std::string> &keys) {
    std::vector<IdList> values;
    values.reserve(keys.size());
    for (const std::string &key : keys) {
        auto found = map.find(key);
        values.push_back(found == map.end() ? IdList{} : found.value());
    }
    return values;
}

TrieMap insert_all(TrieMap &map, const std::vector<std::pair<std::string, unsigned int>> &items) {
    for (const auto &item : items)
        map.insert_if_absent(item.first, item.second);
    return map;
}

size_t erase(TrieMap &map, const std::string &key) { return map.erase(key); }

} // namespace

void bind_trie_map(nb::module_ &module) {
    nb::class_<TrieMap>(module, "TrieMap",
                        "An efficient HAT-trie based map implementation for string-to-value mapping.\n\n"
                        "This class provides an efficient implementation of a map data structure\n"
                        "specifically optimized for string keys using a HAT-trie structure. It is\n"
                        "used throughout ZEL for vocabulary lookup and token processing.")
        .def(nb::init<>(), "Initialize a new TrieMap with default parameters")
        .def(
            "__init__",
            [](TrieMap *map, unsigned int burst_threshold) {
                new (map) TrieMap();
                map->burst_threshold(clamp_burst_threshold(burst_threshold));
            },
            nb::arg("burst_threshold"),
            "Initialize a new TrieMap.\n\nArgs:\n    burst_threshold: Threshold for the trie's burst "
            "operation,\n                     controlling the balance between memory usage and "
            "lookup speed")
        .def("insert", &TrieMap::insert_if_absent,
             "Insert a key-value pair into the map.\n\nArgs:\n    key: The string key to "
             "insert\n    value: The token ID to associate with the key")
        .def("insert_all", &insert_all,
             "Insert multiple key-value pairs into the map.\n\nArgs:\n    items: List of (key, "
             "value) tuples to insert\n\nReturns:\n    Self for method chaining")
        .def("erase", &erase,
             "Remove a key-value pair from the map.\n\nArgs:\n    key: The string key to "
             "remove\n\nReturns:\n    Number of elements removed (0 or 1)")
        .def("get", &get, nb::sig("def get(self, arg: str, /) -> list[int] | None"),
             "Find the value associated with a key.\n\nArgs:\n    key: The string key to look "
             "for\n\nReturns:\n    The associated token IDs if found, None otherwise")
        .def("get_all", &get_all,
             "Get the values associated with multiple keys.\n\nArgs:\n    keys: The list of "
             "string keys to look for\n\nReturns:\n    A list of token ID lists associated with "
             "each key")
        .def_prop_ro("empty", [](const TrieMap &map) { return map.empty(); },
                     "Check if the map is empty.\n\nReturns:\n    True if the map contains no "
                     "elements")
        .def_prop_ro("size", [](const TrieMap &map) { return map.size(); },
                     "Get the number of elements in the map.\n\nReturns:\n    The number of "
                     "key-value pairs stored in the map")
        .def(
            "clear",
            [](TrieMap &map) { map.clear(); },
            "Remove all elements from the map.");
}

} // namespace zel::bindings
