// CallError construction and raising; runs with the interpreter lock held.
#include "call_error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlane {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when the vorlane extension's own code fails internally (a broken invariant).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates to the top and ends the program instead of being swallowed\n"
    "by a broad 'except Exception'.";

PyObject* os_error_class(int code) noexcept {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EEXIST: return PyExc_FileExistsError;
        case EINTR: return PyExc_InterruptedError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EAGAIN:
        case EALREADY:
        case EINPROGRESS: return PyExc_BlockingIOError;
        case EPIPE:
        case ESHUTDOWN: return PyExc_BrokenPipeError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

std::string os_error_text(int code) {
    char scratch[256];
    // GNU strerror_r returns the text, which may or may not live in scratch.
    const char* description = strerror_r(code, scratch, sizeof scratch);
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

PyObject* take_pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

namespace {

// Sets `exception` (a new reference, consumed) as the pending exception.
void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Sets offset, lineno, colno and filename on a reader error's exception.
bool set_location_attributes(PyObject* exception, const CallError::Location& location) {
    auto number = [&](std::uint64_t value) {
        return location.has_position ? PyRef::adopt(PyLong_FromUnsignedLongLong(value)) : PyRef::share(Py_None);
    };
    PyRef offset = number(location.offset);
    PyRef lineno = number(location.lineno);
    PyRef colno = number(location.colno);
    PyRef filename = location.filename
                         ? PyRef::adopt(PyUnicode_DecodeUTF8(location.filename->data(),
                                                             static_cast<Py_ssize_t>(location.filename->size()),
                                                             "surrogateescape"))
                         : PyRef::share(Py_None);
    if (!offset || !lineno || !colno || !filename) return false;
    return PyObject_SetAttrString(exception, "offset", offset.get()) == 0 &&
           PyObject_SetAttrString(exception, "lineno", lineno.get()) == 0 &&
           PyObject_SetAttrString(exception, "colno", colno.get()) == 0 &&
           PyObject_SetAttrString(exception, "filename", filename.get()) == 0;
}

PyRef new_exception(PyObject* type, const std::string& message) {
    PyRef text = PyRef::adopt(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return PyRef();
    return PyRef::adopt(PyObject_CallOneArg(type, text.get()));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    // Created once per process, on first use, and never freed.
    static PyObject* type = PyErr_NewExceptionWithDoc("vorlane_runtime.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
    return type;
}

void report_internal_failure(const std::string& message) noexcept {
    std::fprintf(stderr, "vorlane: internal failure: %s\n", message.c_str());
    std::fflush(stderr);
}

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

CallError CallError::os_errno(int code) {
    CallError error(Kind::OsErrno, os_error_text(code));
    error.os_errno_ = code;
    return error;
}

CallError CallError::captured() {
    CallError error(Kind::Captured, std::string());
    error.exception_ = PyRef::adopt(take_pending_exception());
    return error;
}

CallError CallError::from_exception(PyRef exception) {
    CallError error(Kind::Captured, std::string());
    error.exception_ = std::move(exception);
    return error;
}

CallError CallError::internal(std::string message) {
    report_internal_failure(message);
    return CallError(Kind::Internal, std::move(message));
}

CallError CallError::null_object() {
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
    return internal("PyObject pointer is null");
}

PyRef CallError::to_exception() && {
    PyRef exception;
    switch (kind_) {
        case Kind::Type: exception = new_exception(PyExc_TypeError, message_); break;
        case Kind::Value: exception = new_exception(PyExc_ValueError, message_); break;
        case Kind::Overflow: exception = new_exception(PyExc_OverflowError, message_); break;
        case Kind::OsErrno: exception = new_exception(os_error_class(os_errno_), message_); break;
        case Kind::OsMessage: exception = new_exception(PyExc_OSError, message_); break;
        case Kind::Internal: {
            PyObject* type = panic_exception_type();
            if (type == nullptr) return PyRef();
            exception = new_exception(type, message_);
            break;
        }
        case Kind::Captured:
            exception = std::move(exception_);
            if (!exception) {
                report_internal_failure("an error was expected from the interpreter but none was set");
                exception = new_exception(panic_exception_type(), "no exception was set");
            }
            break;
    }
    if (!exception) return exception;
    if (location_ && !set_location_attributes(exception.get(), *location_)) return PyRef();
    if (note_parameter_ != nullptr) {
        std::string note = std::string("while processing '") + note_parameter_ + "'";
        PyRef text = PyRef::adopt(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        if (!text) return PyRef();
        PyRef done = PyRef::adopt(PyObject_CallMethod(exception.get(), "add_note", "O", text.get()));
        if (!done) return PyRef();
    }
    return exception;
}

void CallError::raise() && {
    PyRef exception = std::move(*this).to_exception();
    if (!exception) {
        if (PyErr_Occurred() == nullptr) abort_uncaught_panic();
        return;
    }
    restore_exception(exception.release());
}

std::string type_name_of(PyObject* object) {
    PyRef name = PyRef::adopt(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

CallError type_mismatch(PyObject* object, const char* target) {
    if (object == Py_None) return CallError::type_error(std::string("'None' is not an instance of '") + target + "'");
    std::string message = "'";
    message.append(type_name_of(object)).append("' object is not an instance of '").append(target).append("'");
    return CallError::type_error(std::move(message));
}

}  // namespace vorlane
