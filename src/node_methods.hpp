// The methods and printing slots of the Node type, defined next to the walks they
// run (src/entities, src/from_dict.cpp). Each is an interpreter entry point.
#pragma once

#include <Python.h>

namespace vorlane {

// __to_string(self, spacing=None), str(node), repr(node)
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_tp_str(PyObject* self);
PyObject* node_tp_repr(PyObject* self);

// search_by_name / search_by_attr / search_by_text / search
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Node.from_dict(dict_) (a class method: `cls` is the class) and node.to_dict()
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_to_dict(PyObject* self, PyObject* unused);

}  // namespace vorlane
