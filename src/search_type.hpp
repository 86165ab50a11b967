// The SearchType enumeration: three singleton members Tag, Attr, Text.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call_error.hpp"

namespace vorlane {

enum class SearchCriterion : std::uint8_t { Tag = 0, Attr = 1, Text = 2 };

struct SearchTypeObject {
    PyObject_HEAD
    SearchCriterion value;
};

// The SearchType class, created with its three members on first need.
[[nodiscard]] CallResult<PyTypeObject*> obtain_search_type();
// Null before the class exists.
PyTypeObject* search_type() noexcept;

// The member value of a `by` argument: a SearchType instance, else the
// type-mismatch error noting `parameter`.
[[nodiscard]] CallResult<SearchCriterion> search_criterion_argument(PyObject* object, const char* parameter);

}  // namespace vorlane
