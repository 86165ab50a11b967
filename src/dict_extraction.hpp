// Node.from_dict's conversion: a Python dict, at every nesting level, into a tree of
// new Node objects in one pass. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "call_error.hpp"

namespace vorlane {

// Why a value or a node dict could not be extracted. It is either one plain error
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

// Converts the dict `object` (a dict or subclass: the caller checks) and every dict
// nested in its sequence values into a new Node tree, in one walk with explicit
// stacks that runs the Python code of custom sequences (__len__, __iter__) met on
// the way. Errors, in order of precedence:
// - a dict that changed while it was converted: the internal failure;
// - a dict met again inside itself: ValueError "Invalid children: a dictionary
//   contains itself";
// - a value of a type no variant takes, anywhere: the extraction error with the
//   note naming `dict_`, raised as soon as it is met;
// - otherwise, the first missing or misplaced key in building order (name, attrs,
//   children, then each child depth first): its ValueError, without a note.
// Throws std::bad_alloc.
[[nodiscard]] CallResult<PyRef> node_tree_from_dict(PyObject* object);

}  // namespace vorlane
