// PyRef: the one owner of a Python object reference. Used only with the interpreter
// lock held. A raw PyObject* anywhere else in the module is borrowed.
#pragma once

#include <Python.h>

namespace vorlane {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null: a failed creation).
    static PyRef adopt(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object and owns it.
    static PyRef share(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference over to the caller (the interpreter, or a call that steals it).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vorlane
