// Owned references and Python-error propagation for the C++ layer.
//
// Every PyObject* that is kept beyond a single expression lives in a `Ref`,
// which owns exactly one reference. Raw pointers appear only at the C API
// boundary, and are borrowed for the duration of the call that received them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace vorn {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a reference the caller already owns (a "new reference").
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Drops the reference now (the object may run arbitrary code on release).
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replaces an owned field of a C struct, releasing the old value only after
// the field already holds the new one (the release can run Python code that
// looks at the field).
inline void set_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

// A Python exception travelling through C++ code as a C++ exception. It owns
// the exception object, so destructors that run while unwinding (and may run
// Python code) cannot clobber it. Coroutine bodies catch it like `except`.
class PyError {
public:
    // Takes the currently raised Python exception (one must be set).
    static PyError fetch() noexcept {
        PyObject* e = PyErr_GetRaisedException();
        if (!e) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
            e = PyErr_GetRaisedException();
        }
        return PyError(Ref::steal(e));
    }
    explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}

    PyObject* value() const noexcept { return exc_.get(); }
    bool matches(PyObject* type) const noexcept {
        return PyErr_GivenExceptionMatches(exc_.get(), type);
    }
    // Raises it again as the current Python exception.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }
    Ref take() noexcept { return std::move(exc_); }

private:
    Ref exc_;
};

[[noreturn]] inline void throw_current() { throw PyError::fetch(); }

// Converts a C API result into a Ref, throwing the pending error on NULL.
inline Ref check(PyObject* p) {
    if (!p) throw_current();
    return Ref::steal(p);
}
inline void check_rc(int rc) {
    if (rc < 0) throw_current();
}

// --- the one fail-soft rule -------------------------------------------------------
//
// Some boundaries must not let a failure through: a recording tap must not
// cost a quote or the connection, a failed connection attempt must not end
// the reconnect loop. There an ordinary error (an Exception subclass: a full
// disk, a broken __str__, a logger that raises) is contained and reported
// once; KeyboardInterrupt, SystemExit and every other BaseException go on
// exactly as they came, so Ctrl-C and sys.exit() are never eaten.
inline bool is_ordinary(PyObject* exc) noexcept { return PyErr_GivenExceptionMatches(exc, PyExc_Exception); }

// Hands an error already caught to `contain(exc)` (exc borrowed) if it is
// ordinary, and throws it on otherwise. What `contain` itself raises is held
// to the same rule: an ordinary error is written as unraisable on `where`
// (the last resort: it must not replace the first), anything else
// propagates. For a coroutine body, whose awaits cannot sit in a lambda.
template <class Contain>
void contain_ordinary(PyObject* where, PyError&& e, Contain&& contain) {
    if (!is_ordinary(e.value())) throw std::move(e);
    Ref exc = e.take();
    try {
        contain(exc.get());
    } catch (PyError& inner) {
        if (!is_ordinary(inner.value())) throw;
        inner.restore();
        PyErr_WriteUnraisable(where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        PyErr_WriteUnraisable(where);
    }
}

// Runs `body()`; an ordinary error it throws (PyError, or std::bad_alloc as
// MemoryError) goes to `contain` as above and fail_soft returns false.
template <class Body, class Contain>
bool fail_soft(PyObject* where, Body&& body, Contain&& contain) {
    try {
        body();
        return true;
    } catch (PyError& e) {
        contain_ordinary(where, std::move(e), contain);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        contain_ordinary(where, PyError::fetch(), contain);
    }
    return false;
}

}  // namespace vorn
