// The garbage-collector slots of the classes that hold grammar objects.
//
// A grammar object that has a Python object is reported as that Python
// object. Native code also makes objects that have none (the Steppers of
// reset and of every advance); the collector cannot ask those for their
// references, so each owner reports them itself: its traverse walks the
// native-only objects it reaches and reports the Python objects they refer
// to. It descends only through native-only objects that it owns: those whose
// every reference comes from the owner itself or from objects already found
// to be its own (their reference count equals the references found). A
// native-only object shared by two owners (clones share sub-Steppers and
// history), or held by a native operation under way, is not descended into
// by anyone, so no reference is ever reported twice: an over-count would let
// the collector free objects that are still alive. What such a shared object
// refers to merely stays uncollected while the sharing lasts.
//
// The walk is iterative (chains of native objects are as long as a
// generation) and generic: a node type takes part by providing
// `visit_references(visit)`, calling visit with each (possibly null) pointer
// it holds, and `self_py()` and `ref_count()` as nanobind::intrusive_base
// does. The cells of shared lists (Stepper histories) are nodes too: visit is
// called with the address of the shared pointer that refers to a cell; the
// cell's count is that pointer's use count, and a cell refers to its value
// and to the cell before it.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include <nanobind/nanobind.h>

#include "grammar/stepper.hpp"

namespace zel::bindings {

class OwnedReferenceWalk {
public:
    OwnedReferenceWalk(visitproc visit, void *arg) : visit_(visit), arg_(arg) {}

    // One reference held by the owner. Returns the first non-zero answer of
    // the collector's visit function, as a traverse slot must.
    template <typename Node> int reach(const Node *node) {
        if (!node)
            return 0;
        if (PyObject *python_object = node->self_py())
            return visit_(python_object, arg_);
        if (!found_all(node, node->ref_count()))
            return 0;
        owned_.push_back({node, &expand<Node>});
        return 0;
    }

    // One reference to a cell of a shared list.
    template <typename Cell> int reach(const std::shared_ptr<Cell> *holder) {
        const Cell *cell = holder->get();
        if (!cell || !found_all(cell, size_t(holder->use_count())))
            return 0;
        owned_.push_back({cell, &expand_cell<Cell>});
        return 0;
    }

    // Walks the native-only objects found to be owned, and those they lead to.
    int finish() {
        while (!owned_.empty()) {
            Owned next = owned_.back();
            owned_.pop_back();
            if (int stop = next.expand(next.node, *this))
                return stop;
        }
        return 0;
    }

private:
    // Counts one more reference found to `node`: true once every reference
    // it has was found.
    bool found_all(const void *node, size_t references) {
        if (references <= 1)
            return true;
        return ++found_[node] == references;
    }

    template <typename Node> static int expand(const void *node, OwnedReferenceWalk &walk) {
        return static_cast<const Node *>(node)->visit_references(
            [&walk](const auto *child) { return walk.reach(child); });
    }

    template <typename Cell> static int expand_cell(const void *node, OwnedReferenceWalk &walk) {
        const Cell *cell = static_cast<const Cell *>(node);
        if (int stop = walk.reach(cell->value.get()))
            return stop;
        return walk.reach(&cell->earlier);
    }

    struct Owned {
        const void *node;
        int (*expand)(const void *, OwnedReferenceWalk &);
    };

    visitproc visit_;
    void *arg_;
    std::vector<Owned> owned_;
    std::unordered_map<const void *, size_t> found_;
};

// The traverse of an owner whose references `visit_owned(walk)` reports with
// walk.reach.
template <typename VisitOwned> int traverse_owned(visitproc visit, void *arg, VisitOwned &&visit_owned) {
    OwnedReferenceWalk walk(visit, arg);
    if (int stop = visit_owned(walk))
        return stop;
    return walk.finish();
}

// The traverse slot of a class whose objects report what they hold through
// visit_references.
template <typename Native> int traverse_instance(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nanobind::inst_ready(self))
        return 0;
    const Native *native = nanobind::inst_ptr<Native>(self);
    return traverse_owned(visit, arg, [native](OwnedReferenceWalk &walk) {
        return native->visit_references([&walk](const auto *object) { return walk.reach(object); });
    });
}

// The collector slots of every Stepper class, native leaves' included.
inline int clear_stepper(PyObject *self) {
    if (nanobind::inst_ready(self))
        nanobind::inst_ptr<Stepper>(self)->release_references();
    return 0;
}

inline PyType_Slot stepper_gc_slots[] = {{Py_tp_traverse, (void *) traverse_instance<Stepper>},
                                         {Py_tp_clear, (void *) clear_stepper},
                                         {0, nullptr}};

} // namespace zel::bindings
