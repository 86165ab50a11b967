// Module definition and registration: PyInit_vorlane (multi-phase initialisation),
// the export hook of newer interpreters, and the exec step that adds the classes,
// the functions and __all__. Runs with the interpreter lock held.
#include <Python.h>

#include "boundary.hpp"
#include "module_functions.hpp"
#include "search_type.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Bound to the module: METH_STATIC would hide the module from __self__.
constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_defs[] = {
    {"read_file", as_cfunction(read_file), kFunctionFlags, "read_file(file_path, root_tag)\n--\n\n"},
    {"read_string", as_cfunction(read_string), kFunctionFlags, "read_string(xml_string, root_tag)\n--\n\n"},
    {"write_file", as_cfunction(write_file), kFunctionFlags,
     "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", as_cfunction(write_string), kFunctionFlags,
     "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
};

// Appends `name` to the module's __all__ (created when missing), then sets the attribute.
CallResult<bool> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::adopt(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return CallError::captured();
        PyErr_Clear();
        all = PyRef::adopt(PyList_New(0));
        if (!all) return CallError::captured();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return CallError::captured();
    }
    if (PyList_Append(all.get(), name) < 0) return CallError::captured();
    if (PyObject_SetAttr(module, name, value) < 0) return CallError::captured();
    return true;
}

CallResult<bool> add_named(PyObject* module, const char* name, PyObject* value) {
    PyRef key = PyRef::adopt(PyUnicode_InternFromString(name));
    if (!key) return CallError::captured();
    return add_to_module(module, key.get(), value);
}

CallResult<bool> exec_module(PyObject* module) {
    auto search = obtain_search_type();
    if (!search) return std::move(search).error();
    auto added = add_named(module, "SearchType", reinterpret_cast<PyObject*>(search.value()));
    if (!added) return added;

    auto node = obtain_node_type();
    if (!node) return std::move(node).error();
    added = add_named(module, "Node", reinterpret_cast<PyObject*>(node.value()));
    if (!added) return added;

    PyRef module_name = PyRef::adopt(PyModule_GetNameObject(module));
    if (!module_name) return CallError::captured();
    for (PyMethodDef& def : function_defs) {
        PyRef function = PyRef::adopt(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return CallError::captured();
        PyRef name = PyRef::adopt(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return CallError::captured();
        added = add_to_module(module, name.get(), function.get());
        if (!added) return added;
    }
    return true;
}

int vorlane_exec(PyObject* module) noexcept {
    return call_boundary_status([&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vorlane_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Types and the pending-release list are process-wide, so one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorlane",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorlane

PyMODINIT_FUNC PyInit_vorlane(void) { return PyModuleDef_Init(&vorlane::module_def); }

#if defined(Py_mod_abi) && defined(Py_mod_name) && defined(PyABIInfo_STRUCT_VERSION)
// The export hook of interpreters that offer it: the same content as one slot list.
namespace vorlane {
namespace {
PyABIInfo_VAR(abi_info);
PyModuleDef_Slot export_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vorlane_exec)},
    {Py_mod_abi, &abi_info},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {Py_mod_name, const_cast<char*>("vorlane")},
    {Py_mod_doc, const_cast<char*>("")},
    {0, nullptr},
};
}  // namespace
}  // namespace vorlane

PyMODEXPORT_FUNC PyModExport_vorlane(void) { return vorlane::export_slots; }
#endif
