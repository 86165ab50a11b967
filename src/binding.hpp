// Argument binding shared by every function, method and tp_new: positional and
// keyword arguments onto a fixed parameter list, with the module's exact messages.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

#include "call_error.hpp"

namespace vorlane {

class Signature {
public:
    static constexpr std::size_t kMaxParameters = 4;

    // `display_name` as shown in messages ("read_string()", "Node.search()");
    // the first `required` parameters are required, the rest optional.
    Signature(const char* display_name, std::initializer_list<const char*> names, std::size_t required) noexcept;

    [[nodiscard]] const char* display_name() const noexcept { return display_name_; }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::size_t required() const noexcept { return required_; }
    [[nodiscard]] const char* name(std::size_t index) const noexcept { return names_[index]; }
    // The parameter matching a keyword name, or count() when none does.
    [[nodiscard]] std::size_t find(PyObject* keyword) const noexcept;

private:
    const char* display_name_;
    std::array<const char*, kMaxParameters> names_{};
    // Interned names, created on first use: keywords compare by pointer first.
    mutable std::array<PyObject*, kMaxParameters> interned_{};
    std::size_t count_;
    std::size_t required_;
};

// The borrowed argument of each parameter; null where it was omitted, or where an
// optional parameter was given None.
struct BoundArguments {
    std::array<PyObject*, Signature::kMaxParameters> values{};
    PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
};

// Binds a vectorcall argument list (args[0..nargs) positional, then one value per
// name in `kwnames`).
[[nodiscard]] Result<BoundArguments, CallError> bind_arguments(const Signature& signature,
                                                               PyObject* const* args, Py_ssize_t nargs,
                                                               PyObject* kwnames);

// Binds a tuple of positional arguments and an optional keyword dict (tp_new).
[[nodiscard]] Result<BoundArguments, CallError> bind_arguments(const Signature& signature, PyObject* args,
                                                               PyObject* kwargs);

}  // namespace vorlane
