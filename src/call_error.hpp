// CallError: the error record a body returns; the call boundary turns it into the
// Python exception it describes. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "py_ref.hpp"

namespace vorlane {

class CallError {
public:
    enum class Kind {
        Type,         // TypeError(message)
        Value,        // ValueError(message)
        Overflow,     // OverflowError(message)
        OsErrno,      // OSError subclass for os_errno, "{description} (os error {code})"
        OsMessage,    // plain OSError(message)
        Captured,     // an exception the interpreter raised, carried as a value
        Internal,     // vorlane_runtime.PanicException(message)
    };

    static CallError type_error(std::string message) { return CallError(Kind::Type, std::move(message)); }
    static CallError value_error(std::string message) { return CallError(Kind::Value, std::move(message)); }
    static CallError overflow(std::string message) { return CallError(Kind::Overflow, std::move(message)); }
    static CallError os_errno(int code);
    static CallError os_message(std::string message) { return CallError(Kind::OsMessage, std::move(message)); }
    // Takes the interpreter's pending exception (one must be set).
    static CallError captured();
    // Carries `exception`, an exception object taken earlier, as this call's error.
    static CallError from_exception(PyRef exception);
    // An internal failure; writes its diagnostic line to stderr now.
    static CallError internal(std::string message);
    static CallError internal(const InvariantViolation& violation) { return internal(violation.message); }
    // The interpreter failed to create a str, dict or list: its pending error is
    // reported as unraisable and the call fails internally.
    static CallError null_object();

    // Where a reader error lies: the attributes `offset`, `lineno` and `colno` set on
    // the raised exception (None when the error has no position), and `filename`.
    struct Location {
        bool has_position = false;
        std::uint64_t offset = 0;
        std::uint64_t lineno = 0;
        std::uint64_t colno = 0;
        std::optional<std::string> filename;
    };
    [[nodiscard]] CallError locating(Location location) && {
        location_ = std::move(location);
        return std::move(*this);
    }

    // Adds the note "while processing '{name}'" when the error is raised.
    [[nodiscard]] CallError noting(const char* parameter) && {
        note_parameter_ = parameter;
        return std::move(*this);
    }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] PyObject* captured_exception() const noexcept { return exception_.get(); }

    // Builds the exception object this record describes (note included); returns
    // null with the interpreter's error set if even that fails.
    [[nodiscard]] PyRef to_exception() &&;
    // Sets the interpreter's error indicator from this record.
    void raise() &&;

private:
    CallError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
    int os_errno_ = 0;
    PyRef exception_;
    const char* note_parameter_ = nullptr;
    std::optional<Location> location_;
};

template <typename T>
using CallResult = Result<T, CallError>;

// Takes the pending exception as one normalized exception object (a new
// reference), or null when none is set.
[[nodiscard]] PyObject* take_pending_exception() noexcept;

// The exception type vorlane_runtime.PanicException, created on first use.
PyObject* panic_exception_type() noexcept;

// "'{type}' object is not an instance of '{target}'", or "'None' is not an
// instance of '{target}'" for None.
[[nodiscard]] CallError type_mismatch(PyObject* object, const char* target);

// The __name__ of an object's type.
[[nodiscard]] std::string type_name_of(PyObject* object);

// Writes the diagnostic line of an internal failure to stderr.
void report_internal_failure(const std::string& message) noexcept;

// Ends the process after an internal failure that cannot be reported to Python.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace vorlane
