// The Node class: type creation, the constructor with its validation, and the
// member tables. Runs with the interpreter lock held.
#include <iterator>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "node_methods.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kNodeNewSignature("Node.__new__()", {"name", "attrs", "children", "text"}, 1);

CallResult<StrRef> owned_str_argument(PyObject* object, const char* parameter) {
    auto bytes = utf8_argument(object, parameter);
    if (!bytes) return std::move(bytes).error();
    return StrRef::owned(bytes.value());
}

CallResult<AttrPairs> convert_attrs(PyObject* attrs) {
    if (!PyDict_Check(attrs)) return type_mismatch(attrs, "dict").noting("attrs");
    AttrPairs pairs;
    pairs.pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(attrs)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(attrs, &position, &key, &value)) {
        auto key_text = owned_str_argument(key, "attrs");
        if (!key_text) return std::move(key_text).error();
        auto value_text = owned_str_argument(value, "attrs");
        if (!value_text) return std::move(value_text).error();
        if (!PyUnicode_CheckExact(key)) pairs.keys_distinct = false;
        pairs.pairs.emplace_back(std::move(key_text).value(), std::move(value_text).value());
    }
    return pairs;
}

CallResult<ChildList> convert_children(PyObject* children) {
    if (PyUnicode_Check(children)) return str_is_not_a_sequence().noting("children");
    if (!PySequence_Check(children)) return not_a_sequence(children).noting("children");
    std::vector<PyRef> items;
    items.reserve(sequence_capacity_hint(children));
    PyRef iterator = PyRef::adopt(PyObject_GetIter(children));
    if (!iterator) return CallError::captured().noting("children");
    while (true) {
        PyRef item = PyRef::adopt(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred() != nullptr) return CallError::captured().noting("children");
            break;
        }
        if (!is_node(item.get())) return type_mismatch(item.get(), "Node").noting("children");
        items.push_back(std::move(item));
    }
    ChildList list(items.size());
    for (PyRef& item : items) list.push_back_stolen(item.release());
    return list;
}

CallResult<PyRef> construct_node(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind_arguments(kNodeNewSignature, args, kwargs);
    if (!bound) return std::move(bound).error();
    PyObject* name_arg = bound.value()[0];
    PyObject* attrs_arg = bound.value()[1];
    PyObject* children_arg = bound.value()[2];
    PyObject* text_arg = bound.value()[3];

    NodeData data;
    auto name = owned_str_argument(name_arg, "name");
    if (!name) return std::move(name).error();
    data.name = std::move(name).value();

    AttrPairs pairs;
    if (attrs_arg != nullptr) {
        auto converted = convert_attrs(attrs_arg);
        if (!converted) return std::move(converted).error();
        pairs = std::move(converted).value();
    }
    if (children_arg != nullptr) {
        auto converted = convert_children(children_arg);
        if (!converted) return std::move(converted).error();
        data.children = std::move(converted).value();
    }
    if (text_arg != nullptr) {
        auto text = owned_str_argument(text_arg, "text");
        if (!text) return std::move(text).error();
        data.text = std::move(text).value();
    }
    data.attrs = attr_map_from(std::move(pairs));
    return create_node_object(std::move(data), type);
}

PyObject* node_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary([&] { return construct_node(type, args, kwargs); });
}

PyGetSetDef node_getset[] = {
    {"name", node_get_name, nullptr, nullptr, nullptr},
    {"text", node_get_text, nullptr, nullptr, nullptr},
    {"attrs", node_get_attrs, nullptr, nullptr, nullptr},
    {"children", node_get_children, nullptr, "Children are shared references to the same nodes, not copies.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The getters in node_getset (its last entry is the end marker).
constexpr std::size_t kGetterCount = std::size(node_getset) - 1;

// The getters' names as the interpreter interns them, in node_getset's order: an
// attribute written in code (`node.name`) arrives as exactly that object. Created
// with the class, kept for the life of the process.
PyObject* interned_getter_names[kGetterCount] = {};

// Attribute lookup that goes straight to a getter when asked by its interned name,
// without searching the class for its descriptor: the class can be neither changed
// nor subclassed, so that search always ends at the same getter. Every other name,
// and a getter's name spelled by an equal but different str, takes the generic
// lookup, which gives the same results.
PyObject* node_tp_getattro(PyObject* self, PyObject* name) {
    for (std::size_t index = 0; index < kGetterCount; ++index) {
        if (name == interned_getter_names[index]) return node_getset[index].get(self, nullptr);
    }
    return PyObject_GenericGetAttr(self, name);
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef node_methods[] = {
    {"__to_string", as_cfunction(node_to_string), METH_FASTCALL | METH_KEYWORDS,
     "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", as_cfunction(node_search_by_name), METH_FASTCALL | METH_KEYWORDS,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", as_cfunction(node_search_by_attr), METH_FASTCALL | METH_KEYWORDS,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", as_cfunction(node_search_by_text), METH_FASTCALL | METH_KEYWORDS,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", as_cfunction(node_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", as_cfunction(node_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", as_cfunction(node_to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(node_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_tp_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(node_tp_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_tp_repr)},
    {Py_tp_getset, node_getset},
    {Py_tp_getattro, reinterpret_cast<void*>(node_tp_getattro)},
    {Py_tp_methods, node_methods},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "builtins.Node",
    static_cast<int>(sizeof(NodeObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    node_slots,
};

PyTypeObject* created_node_type = nullptr;

}  // namespace

CallResult<PyTypeObject*> obtain_node_type() {
    if (created_node_type == nullptr) {
        for (std::size_t index = 0; index < kGetterCount; ++index) {
            if (interned_getter_names[index] != nullptr) continue;
            interned_getter_names[index] = PyUnicode_InternFromString(node_getset[index].name);
            if (interned_getter_names[index] == nullptr) return CallError::captured();
        }
        PyObject* type = PyType_FromSpec(&node_spec);
        if (type == nullptr) {
            PyErr_Clear();
            return CallError::internal("failed to create type object for `Node`");
        }
        // The docstring is only the text signature, so __doc__ reads None as it
        // does for the module's functions.
        if (PyObject_SetAttrString(type, "__doc__", Py_None) < 0) {
            Py_DECREF(type);
            return CallError::captured();
        }
        // Nodes are immutable, and so is their class: no attribute of it can be
        // set or deleted from Python.
        auto* type_object = reinterpret_cast<PyTypeObject*>(type);
        type_object->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
        PyType_Modified(type_object);
        created_node_type = type_object;
    }
    return created_node_type;
}

PyTypeObject* node_type() noexcept { return created_node_type; }

}  // namespace vorlane
