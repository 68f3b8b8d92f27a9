// Engine: construction from a Python vocabulary, its properties, and the
// decoding-loop operations. Arrays and callables are converted here; the
// work is done by the native Engine.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include "bindings/argument_checks.hpp"
#include "bindings/callables.hpp"
#include "bindings/gc.hpp"
#include "bindings/registration.hpp"
#include "bindings/score_arrays.hpp"
#include "engine/engine.hpp"

namespace nb = nanobind;

namespace zel::bindings {

namespace {

using VocabularyEntries = std::vector<std::pair<std::string, unsigned int>>;
using PythonReverseVocabulary = std::unordered_map<unsigned int, std::string>;
using PythonMultiTokenMapping = std::unordered_map<unsigned int, std::vector<unsigned int>>;

const char *const kInitDoc = R"doc(Initialize the engine with tokenization mappings and behavior parameters.

Args:
    vocabulary: Mapping from token strings to their token IDs
    encode_function: Function to encode strings to token IDs
    decode_function: Function to decode token IDs to strings
    strict: Whether to strictly enforce constraints (no fallback)
    multi_token_sampling: Whether to enable multi-token sequence handling
    max_resamples: Maximum number of sampling attempts for a valid token
    control_tokens: Token IDs that should be blocked until reaching an accept state)doc";

void add_vocabulary_entry(VocabularyEntries &entries, nb::handle key, nb::handle value) {
    if (!PyUnicode_Check(key.ptr()))
        throw nb::type_error("vocabulary keys must be str");
    unsigned int id;
    if (!nb::try_cast(value, id))
        throw nb::type_error("vocabulary values must be token ids in 0 .. 2**32 - 1");
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!text) {
        nb::python_error error;
        error.value().attr("add_note")("Engine(): the vocabulary key " + nb::cast<std::string>(nb::repr(key)) +
                                       " is not valid text; keys must be encodable as UTF-8");
        throw error;
    }
    entries.emplace_back(std::string(text, size_t(size)), id);
}

// Any object with mapping items; a dict is read without building its items.
VocabularyEntries vocabulary_entries(nb::handle mapping) {
    VocabularyEntries entries;
    if (PyDict_Check(mapping.ptr())) {
        entries.reserve(size_t(PyDict_Size(mapping.ptr())));
        for (auto [key, value] : nb::borrow<nb::dict>(mapping))
            add_vocabulary_entry(entries, key, value);
        return entries;
    }
    if (!nb::hasattr(mapping, "items"))
        throw nb::type_error("vocabulary must be a mapping of token strings to token ids");
    for (nb::handle item : mapping.attr("items")()) {
        nb::tuple pair = nb::cast<nb::tuple>(item);
        if (pair.size() != 2)
            throw nb::type_error("vocabulary items must be (str, int) pairs");
        add_vocabulary_entry(entries, pair[0], pair[1]);
    }
    return entries;
}

std::vector<TokenId> token_ids(const std::vector<unsigned int> &ids) {
    std::vector<TokenId> converted;
    converted.reserve(ids.size());
    for (unsigned int id : ids)
        converted.push_back(checked_token_id(id));
    return converted;
}

nb::list mask_to_python(const TokenBits &mask) {
    PyObject *list = PyList_New(Py_ssize_t(mask.size()));
    if (!list)
        throw nb::python_error();
    for (uint32_t id = 0; id < mask.size(); ++id) {
        PyObject *value = mask.test(id) ? Py_True : Py_False;
        Py_INCREF(value);
        PyList_SET_ITEM(list, Py_ssize_t(id), value);
    }
    return nb::steal<nb::list>(list);
}

nb::set tokenizations_to_python(const TokenizationSet &tokenizations) {
    nb::set result;
    for (const Tokenization &tokenization : tokenizations) {
        nb::tuple pieces = nb::steal<nb::tuple>(PyTuple_New(Py_ssize_t(tokenization.size())));
        for (size_t i = 0; i < tokenization.size(); ++i)
            PyTuple_SET_ITEM(pieces.ptr(), Py_ssize_t(i),
                             nb::str(tokenization[i].data(), tokenization[i].size()).release().ptr());
        result.add(pieces);
    }
    return result;
}

// The view of a score array argument, taken again whenever the Engine has
// run Python code. A bare DLPack capsule can be viewed only once (and no
// Python object of the caller's can change what it exports).
void view_renewably(ScoreArrayArgument &argument, nb::handle object, const char *argument_name) {
    argument = view_score_array(object, argument_name);
    if (PyCapsule_CheckExact(object.ptr()))
        return;
    argument.view.renew = [&argument, object, argument_name](ScoreArray &) {
        renew_score_array(argument, object, argument_name);
    };
}

nb::object mask_invalid_tokens(Engine &engine, nb::handle scores) {
    ScoreArrayArgument argument;
    view_renewably(argument, scores, "scores");
    engine.mask_invalid_tokens(argument.view);
    return nb::borrow(scores);
}

std::vector<TokenId> select_next_tokens(Engine &engine, nb::handle log_probs, nb::callable sampler) {
    ScoreArrayArgument argument;
    view_renewably(argument, log_probs, "log_probs");
    return engine.select_next_tokens(argument.view, [&]() -> int64_t {
        nb::object result = sampler(log_probs);
        return read_sampled_token(result);
    });
}

template <typename Wrapper, typename Function>
int visit_function(const Function &function, visitproc visit, void *arg) {
    if (const Wrapper *wrapper = function.template target<Wrapper>())
        Py_VISIT(wrapper->callable().ptr());
    return 0;
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    Engine *engine = nb::inst_ptr<Engine>(self);
    int stop = traverse_owned(visit, arg, [engine](OwnedReferenceWalk &walk) {
        if (int stop = walk.reach(engine->state_machine().get()))
            return stop;
        for (const StepperRef &stepper : engine->steppers())
            if (int stop = walk.reach(stepper.get()))
                return stop;
        return 0;
    });
    if (stop)
        return stop;
    if (int stop = visit_function<PythonDecode>(engine->decode_function(), visit, arg))
        return stop;
    return visit_function<PythonEncode>(engine->encode_function(), visit, arg);
}

int clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<Engine>(self)->release_references();
    return 0;
}

PyType_Slot slots[] = {{Py_tp_traverse, (void *) traverse}, {Py_tp_clear, (void *) clear}, {0, nullptr}};

} // namespace

void bind_engine(nb::module_ &module) {
    nb::class_<Engine> engine_class(module, "Engine",
                                    "Orchestrates token processing and interfaces with language models.",
                                    nb::type_slots(slots));
    engine_class
        .def(
            "__init__",
            [](Engine *self, nb::typed<nb::mapping, nb::str, int> vocabulary, EncodeFunction encode_function,
               DecodeFunction decode_function, bool strict, bool multi_token_sampling, int32_t max_resamples,
               std::vector<unsigned int> control_tokens) {
                EngineOptions options{strict, multi_token_sampling, max_resamples, token_ids(control_tokens)};
                new (self) Engine(vocabulary_entries(vocabulary), std::move(encode_function),
                                  std::move(decode_function), std::move(options));
            },
            nb::arg("vocabulary"), nb::arg("encode_function").none(), nb::arg("decode_function").none(),
            nb::arg("strict") = false, nb::arg("multi_token_sampling") = true, nb::arg("max_resamples") = 5,
            nb::arg("control_tokens") = std::vector<unsigned int>{}, kInitDoc)
        .def_prop_ro("has_reached_accept_state", &Engine::has_reached_accept_state,
                     "Check if any stepper has reached an accept state.")
        .def_prop_ro("strict", &Engine::strict,
                     "Whether the engine is in strict mode (no fallback for invalid tokens).")
        .def_prop_rw(
            "state_machine", [](Engine &self) { return self.state_machine(); },
            [](Engine &self, StateMachineRef machine) { self.set_state_machine(std::move(machine)); },
            nb::for_getter(nb::rv_policy::automatic),
            nb::for_getter(nb::sig("def state_machine(self, /) -> StateMachine | None")),
            nb::for_setter(nb::arg("value").none()), "The state machine defining the grammar constraints")
        .def_prop_rw(
            "vocabulary", [](Engine &self) -> TrieMap & { return self.vocabulary(); },
            [](Engine &self, const TrieMap &vocabulary) { self.set_vocabulary(vocabulary); },
            nb::for_getter(nb::rv_policy::reference_internal), "Mapping of token strings to their token IDs")
        .def_prop_rw(
            "reverse_vocabulary", [](Engine &self) { return self.reverse_vocabulary(); },
            [](Engine &self, const PythonReverseVocabulary &map) {
                ReverseVocabulary converted;
                for (const auto &[id, text] : map)
                    converted.emplace(checked_token_id(id), text);
                self.set_reverse_vocabulary(std::move(converted));
            },
            "Mapping of token IDs to their string representations")
        .def_prop_rw(
            "multi_token_mapping", [](Engine &self) { return self.multi_token_mapping(); },
            [](Engine &self, const PythonMultiTokenMapping &map) {
                MultiTokenMapping converted;
                for (const auto &[id, sequence] : map)
                    converted.emplace(checked_token_id(id), token_ids(sequence));
                self.set_multi_token_mapping(std::move(converted));
            },
            "Mapping for multi-token sequences")
        .def_prop_rw(
            "steppers", [](Engine &self) { return self.steppers(); },
            [](Engine &self, std::vector<StepperRef> steppers) {
                self.set_steppers(checked_steppers(std::move(steppers)));
            },
            "Active steppers representing current positions in the state machine")
        .def(
            "consume",
            [](Engine &self, unsigned int token_id, bool token_healing) {
                // No id this large can have a text: it is consumed as unknown.
                if (token_id > unsigned(INT32_MAX))
                    return std::optional<TokenId>();
                return self.consume(TokenId(token_id), token_healing);
            },
            nb::arg("token_id"), nb::arg("token_healing") = true,
            "Consumes a single token and advances internal steppers.")
        .def("consume_text", &Engine::consume_text, nb::arg("input"), nb::arg("token_healing") = false,
             "Consumes raw text directly without tokenization.")
        .def(
            "compute_token_mask",
            [](Engine &self, unsigned int vocab_size) { return mask_to_python(self.compute_token_mask(vocab_size)); },
            nb::arg("vocab_size"), nb::sig("def compute_token_mask(self, vocab_size: int) -> list[bool]"),
            "Computes a token mask for the current state.")
        .def("mask_invalid_tokens", &mask_invalid_tokens, nb::arg("scores"),
             nb::sig("def mask_invalid_tokens(self, scores: _ScoreArray) -> _ScoreArray"),
             "Masks invalid tokens in logit tensor.\n\n"
             "Args:\n    scores: Logit scores [batch_size x vocab_size], modified in place\n\n"
             "Returns:\n    The same array, with disallowed tokens set to negative infinity")
        .def("select_next_tokens", &select_next_tokens, nb::arg("log_probs"), nb::arg("sampler"),
             nb::sig("def select_next_tokens(self, log_probs: _ScoreArray, sampler: "
                     "collections.abc.Callable[[_ScoreArray], _ArrayLike]) -> list[int]"),
             "Selects next tokens based on logits and sampling.")
        .def(
            "break_into_tokens",
            [](Engine &self, const std::string &text) { return tokenizations_to_python(self.break_into_tokens(text)); },
            nb::arg("text"), nb::sig("def break_into_tokens(self, text: str) -> set[tuple[str, ...]]"),
            "Breaks text into all possible token sequences.")
        .def("reset", &Engine::reset, nb::arg("hard_reset") = false,
             "Reset the engine to initial state.\n\n"
             "Args:\n    hard_reset: If True, removes the state machine as well")
        .def("get_current_state", &Engine::get_current_state,
             "Get the current state identifier from active steppers.")
        .def("get_live_token_safe_output", &Engine::get_live_token_safe_output, nb::arg("decode_function"),
             "Get the live token safe output for the current state.")
        .def("__repr__", &Engine::to_string, "Get a human-readable representation of the engine state.")
        .def("__str__", &Engine::to_string, "Get a string representation of the engine state.")
        .def(
            "learned_sequence",
            [](const Engine &self, unsigned int token_id) -> std::optional<std::vector<TokenId>> {
                const std::vector<TokenId> *sequence =
                    token_id > unsigned(INT32_MAX) ? nullptr : self.learned_sequence(TokenId(token_id));
                if (!sequence)
                    return std::nullopt;
                return *sequence;
            },
            nb::arg("token_id"),
            "The ids that consuming or selecting token_id advances over here: the\n"
            "multi-token sequence the latest mask learned for it at this position\n"
            "(or that the caller assigned since), or None when it stands for itself.");
    bind_exact_masks(engine_class);
}

} // namespace zel::bindings
