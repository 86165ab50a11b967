// take_snapshot: copies the tree reachable from one Node into a NodeSnapshot that
// holds no Python object, so that it can be written with the lock released.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "call_error.hpp"
#include "write/node_snapshot.hpp"

namespace vorlane {

// Spans share their buffer (one more reference each), owned strings are copied, and
// attribute maps are cloned slot for slot so they iterate in the getters' order.
// Walks with an explicit stack. Throws std::bad_alloc.
[[nodiscard]] NodeSnapshot take_snapshot(PyObject* node);

}  // namespace vorlane
