// SearchType: repr, int(), and comparison with members and 32-bit integers.
#include "search_type.hpp"

#include "boundary.hpp"

namespace vorlane {

namespace {

const char* member_name(SearchCriterion value) noexcept {
    switch (value) {
        case SearchCriterion::Tag: return "Tag";
        case SearchCriterion::Attr: return "Attr";
        case SearchCriterion::Text: return "Text";
    }
    return "Tag";
}

SearchCriterion value_of(PyObject* self) noexcept {
    return reinterpret_cast<SearchTypeObject*>(self)->value;
}

PyObject* search_type_tp_repr(PyObject* self) {
    return call_boundary([&]() -> CallResult<PyRef> {
        PyRef text = PyRef::adopt(PyUnicode_FromFormat("SearchType.%s", member_name(value_of(self))));
        if (!text) return CallError::null_object();
        return text;
    });
}

PyObject* search_type_nb_int(PyObject* self) {
    return call_boundary([&]() -> CallResult<PyRef> {
        PyRef number = PyRef::adopt(PyLong_FromLong(static_cast<long>(value_of(self))));
        if (!number) return CallError::captured();
        return number;
    });
}

PyObject* search_type_tp_richcompare(PyObject* self, PyObject* other, int op) {
    return call_boundary([&]() -> CallResult<PyRef> {
        if (op != Py_EQ && op != Py_NE) return PyRef::share(Py_NotImplemented);
        long long left = static_cast<long long>(value_of(self));
        long long right = 0;
        PyTypeObject* type = search_type();
        if (type != nullptr && PyObject_TypeCheck(other, type)) {
            right = static_cast<long long>(value_of(other));
        } else {
            right = PyLong_AsLongLong(other);
            if (right == -1 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                return PyRef::share(Py_NotImplemented);
            }
            if (right < INT32_MIN || right > INT32_MAX) return PyRef::share(Py_NotImplemented);
        }
        bool equal = left == right;
        return PyRef::share((op == Py_EQ) == equal ? Py_True : Py_False);
    });
}

PyType_Slot search_type_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(search_type_tp_repr)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_nb_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_tp_richcompare)},
    {0, nullptr},
};

PyType_Spec search_type_spec = {
    "builtins.SearchType",
    static_cast<int>(sizeof(SearchTypeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    search_type_slots,
};

PyTypeObject* created_search_type = nullptr;

}  // namespace

PyTypeObject* search_type() noexcept { return created_search_type; }

CallResult<PyTypeObject*> obtain_search_type() {
    if (created_search_type != nullptr) return created_search_type;
    PyRef type = PyRef::adopt(PyType_FromSpec(&search_type_spec));
    if (!type) {
        PyErr_Clear();
        return CallError::internal("failed to create type object for `SearchType`");
    }
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    const SearchCriterion members[] = {SearchCriterion::Tag, SearchCriterion::Attr, SearchCriterion::Text};
    for (SearchCriterion member : members) {
        PyRef instance = PyRef::adopt(type_object->tp_alloc(type_object, 0));
        if (!instance) return CallError::captured();
        reinterpret_cast<SearchTypeObject*>(instance.get())->value = member;
        if (PyObject_SetAttrString(type.get(), member_name(member), instance.get()) < 0) {
            return CallError::captured();
        }
    }
    // The three members are the only instances there will ever be: once they are
    // in place the class is frozen, so none of them can be rebound or deleted.
    type_object->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type_object);
    created_search_type = reinterpret_cast<PyTypeObject*>(type.release());
    return created_search_type;
}

CallResult<SearchCriterion> search_criterion_argument(PyObject* object, const char* parameter) {
    PyTypeObject* type = search_type();
    if (object == nullptr || type == nullptr || !PyObject_TypeCheck(object, type)) {
        return type_mismatch(object == nullptr ? Py_None : object, "SearchType").noting(parameter);
    }
    return value_of(object);
}

}  // namespace vorlane
