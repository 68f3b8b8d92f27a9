// zel_core.leaves.LexicalLeaf and its three constructors as classes:
// Literal, CharacterClass and Regex. Each compiles its automaton once, here;
// the optional `value` function turns an accepted leaf's text into its value.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>

#include "bindings/callables.hpp"
#include "bindings/current_value.hpp"
#include "bindings/gc.hpp"
#include "bindings/leaves_registration.hpp"
#include "leaves/dfa_compiler.hpp"
#include "leaves/lexical_leaf.hpp"

namespace zel::bindings {

namespace {

// The three ways of making a leaf, as classes of their own.
class LiteralLeaf final : public LexicalLeaf {
public:
    using LexicalLeaf::LexicalLeaf;
};
class CharacterClassLeaf final : public LexicalLeaf {
public:
    using LexicalLeaf::LexicalLeaf;
};
class RegexLeaf final : public LexicalLeaf {
public:
    using LexicalLeaf::LexicalLeaf;
};

// Calls a Python function on the accepted text; only get_current_value
// reaches it, never advancing.
class PythonValueReader final : public LeafValueReader {
public:
    explicit PythonValueReader(nb::object function) : function(std::move(function)) {}
    ~PythonValueReader() override {
        nb::gil_scoped_acquire gil;
        function.reset();
    }
    CurrentValue read(const std::string &accepted_text) override {
        nb::gil_scoped_acquire gil;
        return hold_python_object(function(utf8_to_python(accepted_text)));
    }
    nb::object function;
};

PythonValueReader *python_reader(const LexicalLeaf &leaf) {
    return dynamic_cast<PythonValueReader *>(leaf.value_reader.get());
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    const LexicalLeaf *leaf = nb::inst_ptr<LexicalLeaf>(self);
    if (PythonValueReader *reader = python_reader(*leaf))
        Py_VISIT(reader->function.ptr());
    return traverse_owned(visit, arg, [leaf](OwnedReferenceWalk &walk) {
        return leaf->visit_references([&walk](const auto *object) { return walk.reach(object); });
    });
}

int clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    LexicalLeaf *leaf = nb::inst_ptr<LexicalLeaf>(self);
    std::shared_ptr<LeafValueReader> reader = std::move(leaf->value_reader);
    StateGraph dropped = std::move(leaf->state_graph);
    leaf->state_graph.clear();
    return 0;
}

PyType_Slot slots[] = {{Py_tp_traverse, (void *) traverse}, {Py_tp_clear, (void *) clear}, {0, nullptr}};

std::string class_name_of(nb::handle self) {
    return nb::cast<std::string>(self.type().attr("__name__"));
}

// The operations the native traversal calls on a machine. A Python subclass
// of a native leaf would override them in vain (the leaf answers them
// natively), so it may not.
const char *const kNativeOperations[] = {"get_new_stepper", "get_steppers", "get_edges",
                                         "get_transitions", "__eq__", "__str__", "__repr__"};

void refuse_overrides(nb::handle self, nb::handle leaves_module_name) {
    for (nb::handle base : nb::borrow<nb::tuple>(self.type().attr("__mro__"))) {
        if (base.attr("__module__").equal(leaves_module_name))
            break; // the native classes from here on
        nb::object own = base.attr("__dict__");
        for (const char *name : kNativeOperations)
            if (PyMapping_HasKeyString(own.ptr(), name))
                throw nb::type_error((nb::cast<std::string>(base.attr("__name__")) + "." + name +
                                      ": a native leaf answers this itself and cannot be overridden")
                                         .c_str());
    }
}

// Builds the leaf in place: a Python subclass keeps its own class name.
template <typename Leaf>
void construct(nb::pointer_and_handle<Leaf> self, std::shared_ptr<const Dfa> dfa, bool whole_tokens,
               nb::object value, bool is_optional, bool is_case_sensitive,
               std::optional<std::string> identifier) {
    if (!value.is_none() && !PyCallable_Check(value.ptr()))
        throw nb::type_error("value must be callable or None");
    if (nb::inst_python_derived(self.h))
        refuse_overrides(self.h, nb::type<LexicalLeaf>().attr("__module__"));
    Leaf *leaf = new (self.p) Leaf(std::move(dfa), whole_tokens, class_name_of(self.h),
                                   is_optional, is_case_sensitive, std::move(identifier));
    if (!value.is_none())
        leaf->value_reader = std::make_shared<PythonValueReader>(std::move(value));
}

std::shared_ptr<const Dfa> literal_dfa(const std::string &text) {
    std::vector<char32_t> code_points = decode_utf8(text);
    if (code_points.empty())
        throw nb::value_error("a literal needs at least one character");
    RegexNode sequence;
    sequence.kind = RegexNode::Kind::Sequence;
    for (char32_t c : code_points) {
        RegexNode character;
        character.kind = RegexNode::Kind::Characters;
        character.characters = CodePointSet::of(c);
        sequence.children.push_back(std::move(character));
    }
    return compile_dfa(sequence, text);
}

std::shared_ptr<const Dfa> character_class_dfa(nb::handle characters, uint32_t min_length,
                                               std::optional<uint32_t> max_length) {
    CodePointSet set;
    std::string listed;
    for (nb::handle item : characters) {
        std::string character = nb::cast<std::string>(item);
        std::vector<char32_t> code_points = decode_utf8(character);
        if (code_points.size() != 1)
            throw nb::value_error("a character class takes single characters");
        set.add(code_points[0], code_points[0]);
    }
    if ((max_length && *max_length > kMostRepetitions) || min_length > kMostRepetitions)
        throw nb::value_error(("character class lengths above " +
                               std::to_string(kMostRepetitions) + " are not supported")
                                  .c_str());
    RegexNode characters_node;
    characters_node.kind = RegexNode::Kind::Characters;
    characters_node.characters = set;
    // A maximum below the minimum accepts nothing (its Python counterpart
    // never reaches its minimum): walk up to the maximum, accept nowhere.
    bool impossible = max_length && *max_length < min_length;
    RegexNode repeat;
    repeat.kind = RegexNode::Kind::Repeat;
    repeat.least = impossible ? *max_length : min_length;
    repeat.most = max_length ? *max_length : RegexNode::kUnbounded;
    repeat.children.push_back(std::move(characters_node));
    std::string description = "[";
    for (const CodePointSet::Range &range : set.ranges()) {
        append_utf8(description, range.first);
        if (range.second != range.first) {
            description += '-';
            append_utf8(description, range.second);
        }
    }
    description += "]{" + std::to_string(min_length) + "," +
                   (max_length ? std::to_string(*max_length) : std::string()) + "}";
    std::shared_ptr<const Dfa> dfa = compile_dfa(repeat, description);
    if (!impossible)
        return dfa;
    // Same walk, no accepting state.
    std::vector<std::vector<Dfa::Range>> transitions;
    for (size_t state = 0; state < dfa->state_count(); ++state)
        transitions.push_back(dfa->transitions(Dfa::State(state)));
    return std::make_shared<const Dfa>(std::move(transitions),
                                       std::vector<bool>(dfa->state_count(), false), description);
}

template <typename Leaf>
nb::class_<Leaf, LexicalLeaf> leaf_class(nb::module_ &leaves, const char *name, const char *doc) {
    return nb::class_<Leaf, LexicalLeaf>(
        leaves, name, doc,
        nb::intrusive_ptr<Leaf>([](Leaf *leaf, PyObject *self) noexcept { leaf->set_self_py(self); }),
        nb::type_slots(slots), nb::is_weak_referenceable());
}

} // namespace

void bind_lexical_leaf(nb::module_ &leaves) {
    nb::class_<LexicalLeaf, StateMachine>(
        leaves, "LexicalLeaf",
        "A machine whose Steppers read text natively along a compiled automaton.",
        nb::intrusive_ptr<LexicalLeaf>(
            [](LexicalLeaf *leaf, PyObject *self) noexcept { leaf->set_self_py(self); }),
        nb::type_slots(slots), nb::is_weak_referenceable())
        .def_prop_ro(
            "dfa", [](LexicalLeaf &self) { return std::const_pointer_cast<Dfa>(self.dfa()); },
            "The automaton this leaf walks")
        .def_prop_ro("whole_tokens", &LexicalLeaf::whole_tokens,
                     "Whether a token is refused unless the leaf takes all of it or ends in it")
        .def_prop_ro(
            "value",
            [](LexicalLeaf &self) -> nb::object {
                PythonValueReader *reader = python_reader(self);
                return reader ? reader->function : nb::none();
            },
            "The function that turns an accepted text into its value, or None")
        .def(
            "get_new_stepper",
            [](LexicalLeaf &self, std::optional<StateId> state) {
                return self.get_new_stepper(std::move(state));
            },
            nb::arg("state").none() = nb::none(),
            "Create a new stepper for traversing this state machine.")
        .def(
            "__repr__", [](LexicalLeaf &self, uint32_t level) { return self.repr(level); },
            nb::arg("indentation_level") = 0,
            "Get a detailed string representation of this state machine.");

    leaf_class<LiteralLeaf>(leaves, "Literal", "Matches one fixed text.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<LiteralLeaf> self, const std::string &text, nb::object value,
               bool is_optional, bool is_case_sensitive, std::optional<std::string> identifier) {
                construct(self, literal_dfa(text), true, std::move(value), is_optional,
                          is_case_sensitive, std::move(identifier));
            },
            nb::arg("text"), nb::kw_only(), nb::arg("value").none() = nb::none(),
            nb::arg("is_optional") = false, nb::arg("is_case_sensitive") = true,
            nb::arg("identifier").none() = nb::none(), "Initialize a leaf matching `text`.");

    leaf_class<CharacterClassLeaf>(
        leaves, "CharacterClass", "Matches between min_length and max_length characters of a set.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<CharacterClassLeaf> self, nb::iterable characters,
               uint32_t min_length, std::optional<uint32_t> max_length, nb::object value,
               bool is_optional, bool is_case_sensitive, std::optional<std::string> identifier) {
                construct(self, character_class_dfa(characters, min_length, max_length), false,
                          std::move(value), is_optional, is_case_sensitive, std::move(identifier));
            },
            nb::arg("characters"), nb::arg("min_length") = 1,
            nb::arg("max_length").none() = nb::none(), nb::kw_only(),
            nb::arg("value").none() = nb::none(), nb::arg("is_optional") = false,
            nb::arg("is_case_sensitive") = true, nb::arg("identifier").none() = nb::none(),
            "Initialize a leaf matching a run of `characters`; no maximum when max_length is None.");

    leaf_class<RegexLeaf>(leaves, "Regex",
                          R"doc(Matches a regular expression, compiled once into an automaton.

The subset: literal characters; escapes \\ \. \n \t \r \f \v \a \0 \xHH
\uHHHH \UHHHHHHHH and escaped punctuation; \d \D \w \W \s \S (ASCII: digits,
[A-Za-z0-9_], [ \t\n\r\f\v]); classes [abc] [a-z] [^...]; "." (any character
but a line feed); groups (...) and (?:...); alternation |; the quantifiers
* + ? {m} {m,} {,n} {m,n}, lazy forms included (the same whole values);
counts up to 10000. The pattern matches the whole value, on code points, as
re.fullmatch(pattern, value, re.ASCII) does. Anchors, backreferences,
lookaround, named groups, flags and possessive quantifiers are refused with
a ValueError naming the position.

With whole_tokens=True a token is refused unless the leaf takes all of it
or ends within it (as literals and keywords do); otherwise the leaf takes
the longest prefix of a token it can and leaves the rest.)doc")
        .def(
            "__init__",
            [](nb::pointer_and_handle<RegexLeaf> self, const std::string &pattern, bool whole_tokens,
               nb::object value, bool is_optional, bool is_case_sensitive,
               std::optional<std::string> identifier) {
                construct(self, compile_pattern(pattern), whole_tokens, std::move(value),
                          is_optional, is_case_sensitive, std::move(identifier));
            },
            nb::arg("pattern"), nb::kw_only(), nb::arg("whole_tokens") = false,
            nb::arg("value").none() = nb::none(), nb::arg("is_optional") = false,
            nb::arg("is_case_sensitive") = true, nb::arg("identifier").none() = nb::none(),
            "Initialize a leaf matching `pattern`.");
}

} // namespace zel::bindings
