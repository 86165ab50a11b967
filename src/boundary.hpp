// The call boundary: every entry point from the interpreter runs its body through
// `call_boundary`, which counts the thread as attached, applies pending reference
// releases, and turns the body's outcome (value or CallError) into the interpreter's
// result. Also the lock-release guard and the deferred release of references.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "call_error.hpp"
#include "common/io_error.hpp"
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
//
// While the interpreter finalizes, taking the lock back ends a daemon thread: the
// interpreter calls pthread_exit, which unwinds the thread's stack with a forced
// unwind. That unwind must pass through every frame up to the thread's start, so
// the destructor may let it through (noexcept(false)), no frame on the way is
// noexcept, and the module catches only std::exception, which a forced unwind
// never matches. Frames that release the lock own no Python
// reference across the release, so nothing touches an object while the dying
// thread unwinds; DocumentBuffers released then queue their str on the pending list.
// Scopes are entered through without_interpreter_lock, so the destructor never
// runs while another exception unwinds.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : saved_count_(attachment_count()) {
        attachment_count() = 0;
        state_ = PyEval_SaveThread();
    }
    ~InterpreterLockReleased() noexcept(false) {
        if (thread_ending_) return;
        PyEval_RestoreThread(state_);
        attachment_count() = saved_count_;
        apply_pending_releases();
    }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

    // Takes the lock back for a moment to run the interpreter's signal handlers
    // (a blocking system call was interrupted), then releases it again. Returns the
    // exception a handler raised, as a new reference, or null.
    [[nodiscard]] PyObject* run_signal_handlers();

private:
    int saved_count_;
    PyThreadState* state_;
    bool thread_ending_ = false;
};

// The InterruptCheck of file calls made with the lock released: each interruption
// runs the signal handlers through `unlocked`; one that raised ends the call, and
// its exception is kept until the caller takes it back with the lock held.
class SignalInterrupts {
public:
    explicit SignalInterrupts(InterpreterLockReleased& unlocked) noexcept : unlocked_(&unlocked) {}
    SignalInterrupts(const SignalInterrupts&) = delete;
    SignalInterrupts& operator=(const SignalInterrupts&) = delete;

    [[nodiscard]] InterruptCheck check() noexcept { return {&SignalInterrupts::interrupted, this}; }
    // The exception a handler raised (a new reference handed to the caller), or null.
    [[nodiscard]] PyObject* take_raised() noexcept { return std::exchange(raised_, nullptr); }

private:
    static bool interrupted(void* self) {
        auto* interrupts = static_cast<SignalInterrupts*>(self);
        if (interrupts->raised_ == nullptr) interrupts->raised_ = interrupts->unlocked_->run_signal_handlers();
        return interrupts->raised_ != nullptr;
    }

    InterpreterLockReleased* unlocked_;
    PyObject* raised_ = nullptr;
};

// Runs `work(unlocked)` with the interpreter lock released and returns what it
// returns. An exception leaving `work` is carried past the re-take of the lock and
// rethrown after it; a forced unwind passes straight through.
template <typename Work>
auto without_interpreter_lock(Work&& work) {
    using Value = std::invoke_result_t<Work&, InterpreterLockReleased&>;
    std::optional<Value> value;
    std::exception_ptr failure;
    {
        InterpreterLockReleased unlocked;
        try {
            value.emplace(work(unlocked));
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*value);
}

// Runs `body` (returning CallResult<PyRef>) inside the boundary and hands the
// outcome to the interpreter: a new reference, or null with the exception set.
// No C++ exception crosses: std::bad_alloc becomes MemoryError, anything else an
// internal failure.
// A forced unwind (the thread ending at interpreter exit) passes through: it is
// not a std::exception.
template <typename Body>
PyObject* call_boundary(Body&& body) {
    AttachedScope attached;
    try {
        CallResult<PyRef> outcome = std::forward<Body>(body)();
        if (outcome) return std::move(outcome).value().release();
        std::move(outcome).error().raise();
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        // A size beyond what any container can hold: out of memory by another name.
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception&) {
        try {
            CallError::internal("unexpected C++ exception in the extension").raise();
        } catch (const std::exception&) {
            abort_uncaught_panic();
        }
        return nullptr;
    }
}

// The same for slots that return an int status (0 success, -1 error).
template <typename Body>
int call_boundary_status(Body&& body) {
    AttachedScope attached;
    try {
        CallResult<bool> outcome = std::forward<Body>(body)();
        if (outcome) return 0;
        std::move(outcome).error().raise();
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception&) {
        try {
            CallError::internal("unexpected C++ exception in the extension").raise();
        } catch (const std::exception&) {
            abort_uncaught_panic();
        }
        return -1;
    }
}

}  // namespace vorlane
