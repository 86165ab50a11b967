// Conversions of Python arguments into the values bodies need. Requires the lock.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include <utility>
#include <vector>

#include "call_error.hpp"
#include "common/io_error.hpp"
#include "common/utf8_encode.hpp"
#include "storage/attr_map.hpp"

namespace vorlane {

// The UTF-8 bytes of a str argument, read in place (valid while `object` lives).
// Not a str: the type-mismatch error; no UTF-8 form: the interpreter's error.
// Both carry the note naming `parameter`.
[[nodiscard]] CallResult<std::string_view> utf8_argument(PyObject* object, const char* parameter);

// The UTF-8 bytes of a str known to be one; the interpreter's encoding error otherwise.
[[nodiscard]] CallResult<std::string_view> utf8_of(PyObject* str);

// The UTF-8 bytes a str already holds, read in place (valid while `str` lives): an
// ASCII str's own characters, or the UTF-8 form the interpreter made earlier and
// keeps with the str. Empty when the str would have to be encoded. Never fails.
[[nodiscard]] std::optional<std::string_view> stored_utf8(PyObject* str) noexcept;

// The canonical code units of a str known to be one (1, 2 or 4 bytes each). While
// a reference keeps the str alive they never change, so they may be read with the
// lock released. Fails only when a legacy str cannot be made ready.
[[nodiscard]] CallResult<CodeUnits> code_units_of(PyObject* str);

// A new str with the value of the UTF-8 `bytes`, made at its final length and width
// and filled straight from the bytes: ASCII, which most names, values and texts are,
// is copied as it is, other text converted in one pass. Single characters keep the
// interpreter's shared objects, and bytes that are not UTF-8 go to the interpreter's
// decoder, whose error is then set. A new reference, or null with the error set.
[[nodiscard]] PyObject* str_from_utf8(std::string_view bytes) noexcept;

// A new, empty dict with room for `count` items without growing; null with the
// error set on failure.
[[nodiscard]] PyObject* dict_with_room(std::size_t count) noexcept;

// As str_from_utf8; a failed creation is the "PyObject pointer is null" internal
// failure.
[[nodiscard]] CallResult<PyRef> new_str(std::string_view bytes);

}  // namespace vorlane

namespace vorlane {

// "'{type}' object is not an instance of 'Sequence'", naming the abstract sequence
// class of collections.abc (imported once per process, on first need).
[[nodiscard]] CallError not_a_sequence(PyObject* object);

// The refusal of a str where a sequence of items is wanted.
[[nodiscard]] inline CallError str_is_not_a_sequence() {
    return CallError::type_error("Can't extract `str` to `Vec`");
}

}  // namespace vorlane

namespace vorlane {

// The attribute pairs converted from a dict of str to str, in the dict's order.
struct AttrPairs {
    std::vector<std::pair<StrRef, StrRef>> pairs;
    // True while every key is an exact str: distinct exact strs have distinct
    // values, so no two pairs share a key. A str subclass may compare equal to
    // another key with the same value and break that.
    bool keys_distinct = true;
};

// The attribute map of a new node (a new random key pair). Pairs whose keys have
// equal values keep the first one's place and the last one's value, as a dict does.
[[nodiscard]] AttrMap attr_map_from(AttrPairs&& attrs);

// Room to reserve for the items of a sequence about to be iterated. A list or
// tuple knows its size; any other length is only a hint (a custom __len__ may say
// anything, and range(2**62) is honest but huge), so it never exceeds what a list
// or tuple subclass actually holds, nor a small fixed bound for any other type,
// and growth covers the rest. A failing __len__ gives 0 (its error is cleared).
[[nodiscard]] inline std::size_t sequence_capacity_hint(PyObject* sequence) {
    if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    constexpr std::size_t kUncheckedCapacity = 1024;
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    std::size_t bound = kUncheckedCapacity;
    if (PyList_Check(sequence)) {
        bound = static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    } else if (PyTuple_Check(sequence)) {
        bound = static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    }
    return static_cast<std::size_t>(length) < bound ? static_cast<std::size_t>(length) : bound;
}

// The OSError of a file error: the fixed text as plain OSError, or the subclass
// and "{description} (os error {code})" of the error number.
[[nodiscard]] inline CallError io_call_error(const IoError& error) {
    if (error.message != nullptr) return CallError::os_message(error.message);
    return CallError::os_errno(error.os_errno);
}

}  // namespace vorlane
