// Extraction for Node.from_dict: a Python dict, at every nesting level, into a
// NodeMap, checking only Python types. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "call_error.hpp"
#include "entities/hashmap_types.hpp"

namespace vorlane {

// Why a value or a node map could not be extracted. It is either one plain error
// (a type mismatch, or an exception raised by the value's own Python code), or
// that error nested inside any number of enum levels: at each level the value
// fitted none of the four variants, the `Vec` variant failing with the error
// one level further in. Levels are kept flat so that an error from deep inside a
// tree is built, kept and dropped without recursion.
class ExtractionError {
public:
    explicit ExtractionError(CallError innermost) : innermost_(std::move(innermost)) {}

    // Makes this error, which the `Vec` variant failed with, one level of the
    // enum error together with the other three variants' errors.
    void nest_in_enum(CallError string_error, CallError nullable_string_error, CallError map_error);

    // The exception to raise: the plain error itself, or a TypeError whose message
    // lists every variant's error, with nested enum errors written inside the
    // `Vec` lines. Writing a captured exception may run its __str__.
    [[nodiscard]] CallError into_call_error() &&;

private:
    struct EnumLevel {
        CallError string_error;
        CallError nullable_string_error;
        CallError map_error;
    };

    CallError innermost_;
    std::vector<EnumLevel> levels_;  // innermost first
};

// Extracts the dict `object` (a dict or subclass: the caller checks) and all dicts
// nested in its sequence values. The error is the extraction error to raise
// (ExtractionError::into_call_error), or an internal failure of kind Internal when
// a dict changed while it was being converted. Walks with explicit stacks; runs the
// Python code of custom sequences (__len__, __iter__) met on the way. Throws
// std::bad_alloc.
[[nodiscard]] Result<NodeMap, CallError> extract_node_map(PyObject* object);

}  // namespace vorlane
