// Replacing a field that holds shared references. Dropping the last
// reference to an object with a Python object runs Python code (finalizers,
// weak-reference callbacks) that may read or assign the same field again, so
// the field must already hold its new value, whole, when the old one dies.
// Plain assignment does not promise that: a shared reference drops its old
// object before it takes the new one, and containers destroy old elements
// while they still count them.
#pragma once

#include <utility>

namespace zel {

// Puts `value` into `field`; the old contents are destroyed on return, after
// the field is complete again.
template <typename T> void replace(T &field, T value) {
    using std::swap;
    swap(field, value);
}

// Empties `field` the same way.
template <typename T> void release(T &field) { replace(field, T()); }

} // namespace zel
