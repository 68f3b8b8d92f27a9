// zel_core.leaves.Dfa: a leaf's compiled automaton, read-only, for
// inspection and for tests of its transitions.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "bindings/leaves_registration.hpp"
#include "leaves/dfa.hpp"

namespace zel::bindings {

namespace {

char32_t single_code_point(const std::string &character) {
    size_t at = 0;
    char32_t code_point = character.empty() ? kNotACodePoint : next_code_point(character, at);
    if (code_point == kNotACodePoint || at != character.size())
        throw nb::value_error("expected a single character");
    return code_point;
}

} // namespace

void bind_dfa(nb::module_ &leaves) {
    nb::class_<Dfa>(leaves, "Dfa",
                    "A deterministic automaton over code points, compiled once for a leaf.")
        .def_prop_ro("start", &Dfa::start, "The state a new Stepper stands in")
        .def_prop_ro_static(
            "dead", [](nb::handle) { return Dfa::kDead; },
            "The state every refused character leads to")
        .def_prop_ro("state_count", &Dfa::state_count, "Number of states, the dead one aside")
        .def_prop_ro("identity", &Dfa::identity,
                     "A number no other automaton of this process has: a cache key")
        .def_prop_ro("pattern", &Dfa::description, "What the automaton was compiled from")
        .def(
            "next",
            [](const Dfa &self, Dfa::State state, const std::string &character) {
                return self.next(state, single_code_point(character));
            },
            nb::arg("state"), nb::arg("character"),
            "The state after `character` from `state` (dead when refused).")
        .def("is_accepting", &Dfa::is_accepting, nb::arg("state"),
             "Whether a value may end in `state`.")
        .def("can_continue", &Dfa::can_continue, nb::arg("state"),
             "Whether some character leads on from `state`.")
        .def(
            "walk",
            [](const Dfa &self, Dfa::State state, const std::string &text) {
                Dfa::Walk walk = self.walk(state, text);
                return std::make_pair(walk.state, walk.characters);
            },
            nb::arg("state"), nb::arg("text"),
            "(state, characters taken) after the longest prefix of `text` the automaton takes.");
}

} // namespace zel::bindings
