// Score arrays at the boundary: the caller's arrays viewed in place (never
// copied) and the token id read from a sampler's result.
#pragma once

#include <cstdint>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "engine/score_array.hpp"

namespace zel::bindings {

// A writable host-memory array viewed without conversion. The ndarray keeps
// the caller's object alive while the view is in use.
struct ScoreArrayArgument {
    nanobind::ndarray<> array;
    ScoreArray view;
};

// Refuses, before any element is touched, an object that is not an array
// (TypeError), a read-only array or one outside host memory (RuntimeError).
ScoreArrayArgument view_score_array(nanobind::handle object, const char *argument_name);

// Views `object` again into `argument` (Python code may have moved its
// memory); refuses an array whose shape or element type changed.
void renew_score_array(ScoreArrayArgument &argument, nanobind::handle object, const char *argument_name);

// The object itself, or a memoryview of it when its buffer comes without
// strides (ctypes exports them so): the binding library's buffer import
// reads strides without checking for them.
nanobind::object with_buffer_strides(nanobind::handle object);

// The token id a sampler returned: the first element of an array of 32- or
// 64-bit integers, read by value.
int64_t read_sampled_token(nanobind::handle result);

} // namespace zel::bindings
