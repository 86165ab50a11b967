// Placeholder while this walk is being written.
#include "boundary.hpp"
#include "node_methods.hpp"
namespace vorlane {
PyObject* node_to_dict(PyObject*, PyObject*) noexcept {
    return call_boundary([]() -> CallResult<PyRef> { return CallError::internal("to_dict is not built yet"); });
}
}  // namespace vorlane
