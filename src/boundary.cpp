// Attachment counting and the process-wide pending-release list.
#include "boundary.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace vorlane {

namespace {

// Created once, never freed: deferred releases may still arrive at exit.
struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> objects;
    std::atomic<bool> non_empty{false};
};

PendingReleases& pending() noexcept {
    static PendingReleases* list = new PendingReleases();
    return *list;
}

}  // namespace

int& attachment_count() noexcept {
    thread_local int count = 0;
    return count;
}

void apply_pending_releases() noexcept {
    PendingReleases& list = pending();
    if (!list.non_empty.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> guard(list.mutex);
        taken.swap(list.objects);
        list.non_empty.store(false, std::memory_order_release);
    }
    for (PyObject* object : taken) Py_DECREF(object);
}

void release_python_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (attachment_count() > 0) {
        Py_DECREF(object);
        return;
    }
    PendingReleases& list = pending();
    std::lock_guard<std::mutex> guard(list.mutex);
    try {
        list.objects.push_back(object);
    } catch (...) {
        // Without memory for the queue the reference is leaked rather than
        // touched without the lock.
        return;
    }
    list.non_empty.store(true, std::memory_order_release);
}

PyObject* InterpreterLockReleased::run_signal_handlers() {
    // While the interpreter finalizes, taking the lock back ends this thread by a
    // forced unwind, and the call never returns: the flag stays set then, so the
    // destructor does not try to take the lock again while the unwind passes.
    thread_ending_ = true;
    PyEval_RestoreThread(state_);
    thread_ending_ = false;
    attachment_count() = saved_count_;
    PyObject* raised = nullptr;
    if (PyErr_CheckSignals() < 0) raised = take_pending_exception();
    attachment_count() = 0;
    state_ = PyEval_SaveThread();
    return raised;
}

void release_python_object_hook(void* object) noexcept {
    release_python_reference(static_cast<PyObject*>(object));
}

}  // namespace vorlane
