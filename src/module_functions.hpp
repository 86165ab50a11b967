// The four module functions, defined with their entry points in src/read and
// src/write. Each is an interpreter entry point (vectorcall with keywords).
#pragma once

#include <Python.h>

namespace vorlane {

PyObject* read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlane
