// A small owner for PyObject* references, so that no reference is leaked or
// dropped twice on an early return.
//
// Handle borrows: it never changes a reference count and must not outlive the
// object it points to. Object owns exactly one strong reference and gives it
// back when destroyed; it is move-only, so ownership is always visible.
//
// Reference conventions used throughout module/: a function that returns an
// Object hands over a new reference; one that returns a Handle or a bare
// PyObject* says whether it is new or borrowed. Calls that steal a reference
// (PyTuple_SET_ITEM, PyList_SET_ITEM) take the result of release() and are
// marked "steals" where they appear.
//
// Every member needs the calling thread to be attached to the interpreter
// (hold the interpreter lock), except get(), release() and the bool test.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvex {

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}  // borrowed, may be null

    constexpr PyObject* get() const noexcept { return p_; }
    constexpr explicit operator bool() const noexcept { return p_ != nullptr; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

private:
    PyObject* p_ = nullptr;
};

class Object {
public:
    constexpr Object() noexcept = default;
    ~Object() { Py_XDECREF(p_); }

    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& other) noexcept : p_(other.release()) {}
    Object& operator=(Object&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.release();
            Py_XDECREF(old);
        }
        return *this;
    }

    // Takes over a new reference (typically the result of a C API call that
    // returns one). A null pointer gives an empty Object; the Python error
    // the failed call set stays set.
    [[nodiscard]] static Object steal(PyObject* p) noexcept { return Object(p); }
    // Takes a reference of its own to a borrowed pointer (may be null).
    [[nodiscard]] static Object borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Object(p);
    }
    [[nodiscard]] static Object borrow(Handle h) noexcept { return borrow(h.get()); }

    // Gives the reference away (new reference for the receiver); the Object
    // is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    PyObject* get() const noexcept { return p_; }  // borrowed
    Handle handle() const noexcept { return Handle(p_); }
    operator Handle() const noexcept { return Handle(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Object(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Lets go of the interpreter lock while alive; it is taken back however the
// scope ends, exceptions included.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace orvex
