// Ownership rules of this module:
//   a Ref owns one strong reference (or nothing) and drops it when it goes away;
//   a plain PyObject * is always borrowed;
//   Py_DECREF appears only here and in the clear/dealloc functions of our types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace updater {

/// [[nodiscard]]: a Ref dropped unread is a result thrown away, and with it
/// either a reference to release or an error to report.
class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        Ref old(std::move(*this));
        p_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Takes over a new reference (which may be null).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    /// Adds a reference of its own to a borrowed one (which may be null).
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    /// Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

inline Ref steal(PyObject *p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject *p) noexcept { return Ref::borrow(p); }

/// Keeps the pending exception (if any) aside while cleanup code runs, and
/// restores it afterwards. Errors raised by the cleanup itself are dropped.
class ErrorScope {
public:
    ErrorScope() noexcept : exc_(PyErr_GetRaisedException()) {}
    ErrorScope(const ErrorScope &) = delete;
    ErrorScope &operator=(const ErrorScope &) = delete;
    ~ErrorScope()
    {
        if (PyErr_Occurred())
            PyErr_Clear();
        PyErr_SetRaisedException(exc_);
    }

private:
    PyObject *exc_;
};

}  // namespace updater
