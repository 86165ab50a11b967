// Argument binding: positional first, then keywords by exact name, then one error
// for every required parameter still missing.
#include "binding.hpp"

#include <string>

namespace vorlane {

namespace {

std::string quoted_list(const Signature& signature, const std::array<bool, Signature::kMaxParameters>& missing,
                        std::size_t missing_count) {
    std::string names;
    std::size_t written = 0;
    for (std::size_t i = 0; i < signature.count(); ++i) {
        if (!missing[i]) continue;
        if (written > 0) {
            if (missing_count > 2) names += ",";
            if (written + 1 == missing_count) names += " and";
            names += " ";
        }
        names += "'";
        names += signature.name(i);
        names += "'";
        ++written;
    }
    return names;
}

CallError too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::string message = signature.display_name();
    if (signature.required() == signature.count()) {
        message += " takes " + std::to_string(signature.count());
    } else {
        message += " takes from " + std::to_string(signature.required()) + " to " + std::to_string(signature.count());
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return CallError::type_error(std::move(message));
}

// The keyword as text for a message. A name holding lone surrogates has no UTF-8
// form; it is shown with those written as backslash escapes ('\ud800x'), the way
// the interpreter's own repr shows them.
std::string keyword_text(PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return "?";
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    PyErr_Clear();
    PyRef escaped = PyRef::adopt(PyUnicode_AsEncodedString(keyword, "utf-8", "backslashreplace"));
    if (!escaped) {
        PyErr_Clear();
        return "?";
    }
    return std::string(PyBytes_AS_STRING(escaped.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
}

// Places one keyword argument; errors for unknown names and repeats.
Result<bool, CallError> place_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                                      std::array<bool, Signature::kMaxParameters>& filled, BoundArguments& bound) {
    std::size_t index = signature.find(keyword);
    if (index == signature.count()) {
        return CallError::type_error(std::string(signature.display_name()) + " got an unexpected keyword argument '" +
                                     keyword_text(keyword) + "'");
    }
    if (filled[index]) {
        return CallError::type_error(std::string(signature.display_name()) + " got multiple values for argument '" +
                                     signature.name(index) + "'");
    }
    filled[index] = true;
    bound.values[index] = value;
    return true;
}

Result<BoundArguments, CallError> finish(const Signature& signature,
                                         const std::array<bool, Signature::kMaxParameters>& filled,
                                         BoundArguments bound) {
    std::array<bool, Signature::kMaxParameters> missing{};
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required(); ++i) {
        if (!filled[i]) {
            missing[i] = true;
            ++missing_count;
        }
    }
    if (missing_count > 0) {
        return CallError::type_error(std::string(signature.display_name()) + " missing " +
                                     std::to_string(missing_count) + " required positional " +
                                     (missing_count == 1 ? "argument" : "arguments") + ": " +
                                     quoted_list(signature, missing, missing_count));
    }
    // An optional parameter given None counts as omitted.
    for (std::size_t i = signature.required(); i < signature.count(); ++i) {
        if (bound.values[i] == Py_None) bound.values[i] = nullptr;
    }
    return bound;
}

}  // namespace

Signature::Signature(const char* display_name, std::initializer_list<const char*> names,
                     std::size_t required) noexcept
    : display_name_(display_name), count_(names.size()), required_(required) {
    std::size_t index = 0;
    for (const char* name : names) names_[index++] = name;
}

std::size_t Signature::find(PyObject* keyword) const noexcept {
    for (std::size_t i = 0; i < count_; ++i) {
        if (interned_[i] == nullptr) interned_[i] = PyUnicode_InternFromString(names_[i]);
        if (interned_[i] == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) return count_;
    for (std::size_t i = 0; i < count_; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, names_[i]) == 0) return i;
    }
    return count_;
}

Result<BoundArguments, CallError> bind_arguments(const Signature& signature, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > signature.count()) return too_many_positional(signature, nargs);
    BoundArguments bound;
    std::array<bool, Signature::kMaxParameters> filled{};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound.values[static_cast<std::size_t>(i)] = args[i];
        filled[static_cast<std::size_t>(i)] = true;
    }
    if (kwnames != nullptr) {
        Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            auto placed = place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], filled, bound);
            if (!placed) return std::move(placed).error();
        }
    }
    return finish(signature, filled, bound);
}

Result<BoundArguments, CallError> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > signature.count()) return too_many_positional(signature, nargs);
    BoundArguments bound;
    std::array<bool, Signature::kMaxParameters> filled{};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound.values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
        filled[static_cast<std::size_t>(i)] = true;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            auto placed = place_keyword(signature, keyword, value, filled, bound);
            if (!placed) return std::move(placed).error();
        }
    }
    return finish(signature, filled, bound);
}

}  // namespace vorlane
