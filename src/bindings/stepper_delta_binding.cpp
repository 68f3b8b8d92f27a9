// StepperDelta: outcome of one token, its order, and the best-path choice.
#include <nanobind/nanobind.h>
#include <nanobind/intrusive/ref.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include "bindings/error_notes.hpp"
#include "bindings/gc.hpp"
#include "bindings/registration.hpp"
#include "grammar/state_machine.hpp"
#include "paths/stepper_delta.hpp"
#include "support/replace.hpp"

namespace nb = nanobind;

namespace zel::bindings {

namespace {

using PythonMapping = std::unordered_map<unsigned int, std::vector<unsigned int>>;

StepperRef checked_stepper(StepperRef stepper) {
    if (!stepper)
        throw nb::type_error("a StepperDelta needs a Stepper, not None");
    return stepper;
}

std::pair<std::vector<TokenId>, std::vector<StepperRef>>
choose_best_path_from_python(nb::typed<nb::iterable, StepperDelta> deltas, const TrieMap &vocabulary,
                             std::optional<PythonMapping> mapping) {
    DeltaSet set;
    for (nb::handle item : deltas) {
        StepperDelta *delta = nullptr;
        if (!nb::try_cast<StepperDelta *>(item, delta) || !delta)
            throw nb::type_error("choose_best_path() takes StepperDelta objects");
        set.insert(*delta);
    }
    std::optional<MultiTokenMapping> native_mapping;
    if (mapping) {
        native_mapping.emplace();
        for (auto &[id, sequence] : *mapping) {
            std::vector<TokenId> &ids = (*native_mapping)[checked_token_id(id)];
            for (unsigned int element : sequence)
                ids.push_back(checked_token_id(element));
        }
    }
    try {
        return choose_best_path(set, vocabulary, native_mapping ? &*native_mapping : nullptr);
    } catch (const MissingVocabularyKey &missing) {
        nb::object key = nb::steal(
            PyUnicode_DecodeUTF8(missing.key().data(), Py_ssize_t(missing.key().size()), "backslashreplace"));
        raise_with_note(PyExc_IndexError, missing.what(),
                        "choose_best_path(): the winning token " + nb::cast<std::string>(nb::repr(key)) +
                            " is not a key of the TrieMap given; every token of a delta that can win "
                            "must be a vocabulary key");
    }
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    const StepperDelta *delta = nb::inst_ptr<StepperDelta>(self);
    return traverse_owned(visit, arg, [delta](OwnedReferenceWalk &walk) { return walk.reach(delta->stepper.get()); });
}

int clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        StepperDelta *delta = nb::inst_ptr<StepperDelta>(self);
        StepperRef dropped;
        std::swap(dropped, delta->stepper);
        delta->token.clear();
        delta->was_healed = false;
    }
    return 0;
}

PyType_Slot slots[] = {{Py_tp_traverse, (void *) traverse}, {Py_tp_clear, (void *) clear}, {0, nullptr}};

} // namespace

void bind_stepper_delta(nb::module_ &module) {
    nb::class_<StepperDelta>(module, "StepperDelta",
                             "Represents the result of a state transition after consuming a token.",
                             nb::type_slots(slots))
        .def(
            "__init__",
            [](StepperDelta *self, StepperRef stepper, std::string token, bool was_healed) {
                new (self) StepperDelta(checked_stepper(std::move(stepper)), std::move(token), was_healed);
            },
            nb::arg("stepper"), nb::arg("token"), nb::arg("was_healed"), "Initialize a new transition result.")
        .def_prop_rw(
            "stepper", [](StepperDelta &self) { return self.stepper; },
            [](StepperDelta &self, StepperRef stepper) { replace(self.stepper, checked_stepper(std::move(stepper))); },
            nb::for_getter(nb::rv_policy::automatic), "The stepper after consuming a token")
        .def_rw("token", &StepperDelta::token, "The token that was consumed")
        .def_rw("was_healed", &StepperDelta::was_healed, "Whether token healing was applied")
        .def("is_attractive_path", &StepperDelta::is_attractive_path,
             "Determine if this path is preferred for further exploration.")
        .def_static("choose_best_path", &choose_best_path_from_python, nb::arg(), nb::arg(),
                    nb::arg().none(), "Select the optimal path from multiple candidates.")
        .def(
            "__lt__", [](const StepperDelta &self, const StepperDelta &other) { return self < other; },
            "Compare transitions for ordering.")
        .def("__str__", &StepperDelta::to_string, "Get a string representation.")
        .def("__repr__", &StepperDelta::to_string, "Get a string representation.");
}

} // namespace zel::bindings
