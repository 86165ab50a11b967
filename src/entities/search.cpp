// Placeholder while this walk is being written.
#include "boundary.hpp"
#include "node_methods.hpp"
namespace vorlane {
namespace {
PyObject* not_yet() noexcept {
    return call_boundary([]() -> CallResult<PyRef> { return CallError::internal("search is not built yet"); });
}
}  // namespace
PyObject* node_search_by_name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return not_yet(); }
PyObject* node_search_by_attr(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return not_yet(); }
PyObject* node_search_by_text(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return not_yet(); }
PyObject* node_search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return not_yet(); }
}  // namespace vorlane
