// Owning references to Python objects, and a saved "exception in flight".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

static_assert(PY_VERSION_HEX >= 0x030B0000, "the local strategy targets CPython 3.11+");

namespace ruk {

// Holds one strong reference. Borrowed references travel as plain PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (NULL allowed: an empty Ref means "error set").
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);  // may run arbitrary Python code (a finaliser)
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (to return it to CPython, or store it).
    PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// The exception being raised, taken out of the thread state so that cleanup
// code (a `finally` clause, a lock's __exit__) can call into Python first.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    bool empty() const noexcept { return type_ == nullptr; }

    // Normalised (type, value, traceback), each a new reference or None;
    // what a context manager's __exit__ receives.
    Ref as_exit_args() noexcept {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (value_ && traceback_) PyException_SetTraceback(value_, traceback_);
        return Ref::steal(PyTuple_Pack(3, type_ ? type_ : Py_None, value_ ? value_ : Py_None,
                                       traceback_ ? traceback_ : Py_None));
    }

    // Raises the saved exception again.
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

    // A newer exception is set: record this one as its __context__, as the
    // interpreter does for an exception raised while another is handled (a
    // `finally` clause that raises), and let the newer one propagate. Like the
    // interpreter, first cut this one's context chain where it reaches the
    // newer exception, so that no chain loops.
    void chain_under_current() noexcept {
        if (empty()) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (value && value_ && value != value_ && PyExceptionInstance_Check(value) &&
            PyExceptionInstance_Check(value_)) {
            if (traceback_) PyException_SetTraceback(value_, traceback_);
            PyObject* node = value_;
            PyObject* slow = node;  // Floyd's cycle detection: a loop already there ends the walk
            bool advance_slow = false;
            while (PyObject* context = PyException_GetContext(node)) {
                Py_DECREF(context);  // still held by node's __context__
                if (context == value) {
                    PyException_SetContext(node, nullptr);
                    break;
                }
                node = context;
                if (node == slow) break;
                if (advance_slow) {
                    slow = PyException_GetContext(slow);
                    Py_DECREF(slow);
                }
                advance_slow = !advance_slow;
            }
            PyException_SetContext(value, value_);  // steals value_
            value_ = nullptr;
        }
        PyErr_Restore(type, value, tb);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// While alive, `exception` is the exception being handled, as inside an
// `except` or `finally` clause: sys.exc_info() shows it, and the interpreter
// itself chains anything raised meanwhile to it (cycles broken its way).
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exception) noexcept {
        // PyErr_GetHandledException() answers with the innermost exception that
        // is set, which may belong to an outer frame (a generator's caller):
        // that one is left where it is, and the current slot gets back only
        // what it held itself.
        PyObject* seen = PyErr_GetHandledException();
        PyErr_SetHandledException(nullptr);
        PyObject* outer = PyErr_GetHandledException();
        saved_ = seen != outer ? seen : nullptr;
        if (saved_ != seen) Py_XDECREF(seen);
        Py_XDECREF(outer);
        PyErr_SetHandledException(exception);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }

private:
    PyObject* saved_;  // strong reference or nullptr
};

}  // namespace ruk
