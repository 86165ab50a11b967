// Node.from_dict(dict_): binds the argument and converts it into a new node tree in
// one walk (dict_extraction.cpp). Runs with the interpreter lock held.
#include "binding.hpp"
#include "boundary.hpp"
#include "dict_extraction.hpp"
#include "node_methods.hpp"

namespace vorlane {

namespace {

const Signature kFromDictSignature("Node.from_dict()", {"dict_"}, 1);

CallResult<PyRef> node_from_dict_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kFromDictSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    PyObject* dict = bound.value()[0];
    if (dict == nullptr || !PyDict_Check(dict)) {
        return type_mismatch(dict == nullptr ? Py_None : dict, "dict").noting("dict_");
    }
    return node_tree_from_dict(dict);
}

}  // namespace

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return node_from_dict_body(args, nargs, kwnames); });
}

}  // namespace vorlane
