// Placeholder while dictionary import is being written.
#include "boundary.hpp"
#include "node_methods.hpp"
namespace vorlane {
PyObject* node_from_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    return call_boundary([]() -> CallResult<PyRef> { return CallError::internal("from_dict is not built yet"); });
}
}  // namespace vorlane
