// The call boundary: every entry point from the interpreter runs its body through
// `call_boundary`, which counts the thread as attached, applies pending reference
// releases, and turns the body's outcome (value or CallError) into the interpreter's
// result. Also the lock-release guard and the deferred release of references.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "call_error.hpp"
#include "py_ref.hpp"

namespace vorlane {

// Nested calls into the module on this thread that hold the interpreter lock.
int& attachment_count() noexcept;

// Decrements every reference queued while the releasing thread was detached.
void apply_pending_releases() noexcept;

// Releases one reference: at once when this thread is attached, otherwise queued
// on the process-wide pending list (applied at the next entry into the module).
void release_python_reference(PyObject* object) noexcept;

// The DocumentBuffer hook for a buffer that keeps a str alive.
void release_python_object_hook(void* object) noexcept;

// Marks the thread as attached for the lifetime of the scope and applies pending
// releases on entry.
class AttachedScope {
public:
    AttachedScope() noexcept {
        ++attachment_count();
        apply_pending_releases();
    }
    ~AttachedScope() { --attachment_count(); }
    AttachedScope(const AttachedScope&) = delete;
    AttachedScope& operator=(const AttachedScope&) = delete;
};

// Releases the interpreter lock for its scope. The attachment count is saved and
// zeroed so that reference releases inside are deferred; both are restored, and
// pending releases applied, on every exit.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : saved_count_(attachment_count()) {
        attachment_count() = 0;
        state_ = PyEval_SaveThread();
    }
    ~InterpreterLockReleased() {
        PyEval_RestoreThread(state_);
        attachment_count() = saved_count_;
        apply_pending_releases();
    }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    int saved_count_;
    PyThreadState* state_;
};

// Runs `body` (returning CallResult<PyRef>) inside the boundary and hands the
// outcome to the interpreter: a new reference, or null with the exception set.
// No C++ exception crosses: std::bad_alloc becomes MemoryError, anything else an
// internal failure.
template <typename Body>
PyObject* call_boundary(Body&& body) noexcept {
    AttachedScope attached;
    try {
        CallResult<PyRef> outcome = std::forward<Body>(body)();
        if (outcome) return std::move(outcome).value().release();
        std::move(outcome).error().raise();
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        try {
            CallError::internal("unexpected C++ exception in the extension").raise();
        } catch (...) {
            abort_uncaught_panic();
        }
        return nullptr;
    }
}

// The same for slots that return an int status (0 success, -1 error).
template <typename Body>
int call_boundary_status(Body&& body) noexcept {
    AttachedScope attached;
    try {
        CallResult<bool> outcome = std::forward<Body>(body)();
        if (outcome) return 0;
        std::move(outcome).error().raise();
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (...) {
        try {
            CallError::internal("unexpected C++ exception in the extension").raise();
        } catch (...) {
            abort_uncaught_panic();
        }
        return -1;
    }
}

}  // namespace vorlane
