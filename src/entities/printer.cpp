// Placeholder while this walk is being written.
#include "boundary.hpp"
#include "node_methods.hpp"
namespace vorlane {
namespace {
PyObject* not_yet() noexcept {
    return call_boundary([]() -> CallResult<PyRef> { return CallError::internal("printer is not built yet"); });
}
}  // namespace
PyObject* node_to_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return not_yet(); }
PyObject* node_tp_str(PyObject*) noexcept { return not_yet(); }
PyObject* node_tp_repr(PyObject*) noexcept { return not_yet(); }
}  // namespace vorlane
