// Small helpers for calling into Python the way Python code itself would.
#pragma once

#include "refs.hpp"

#include <cstddef>

namespace ruk {

// A module-level name read at call time: the function's globals, then the
// builtins; NameError("name 'x' is not defined") when both miss.
Ref load_global(PyObject* globals, PyObject* name) noexcept;

// `import name` for a top-level module.
Ref import_module(PyObject* globals, PyObject* name) noexcept;

// `from module_name import names[0], names[1], ...`: out[i] receives a new
// reference to each name, in order. -1 with ImportError (or whatever the
// import raised) set on failure; out[] is then left empty.
int import_from(PyObject* globals, PyObject* module_name, PyObject* const* names,
                std::size_t count, Ref* out) noexcept;

// `raise obj`: an exception instance is raised as it is, an exception class
// is instantiated first; anything else is a TypeError. Always returns -1.
int raise_object(PyObject* obj) noexcept;

// `raise RukRuntimeError(message)`, the class read from the globals after the
// message was made. Takes over `message` (a new reference, or NULL with an
// exception set, which then propagates). Always returns -1.
int raise_runtime_error(PyObject* globals, PyObject* message) noexcept;
// 0 when `value` is true by Python truth; else `raise RukRuntimeError(message)`
// (or the truth test's own error) and -1.
int raise_runtime_error_unless(PyObject* globals, PyObject* value, const char* message) noexcept;

// 0 when `value`'s type is exactly `type`; else TypeError "Expected <type>,
// got <its type>" and -1. How a result of ours or a sibling's is checked.
int require_exact_type(PyObject* value, PyTypeObject* type) noexcept;

// `a, b = pair` for any iterable of exactly two items.
int unpack_pair(PyObject* pair, Ref& first, Ref& second) noexcept;

// os_path.join(head, tail), computed here when os_path.join is the
// interpreter's own posixpath.join and both parts are plain strings (the same
// result, without a Python-level call on the per-request path).
Ref path_join(PyObject* os_path, PyObject* head, PyObject* tail) noexcept;

// True when the exception being raised is an instance of Exception (what an
// `except Exception:` clause catches).
inline bool pending_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception); }

inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

template <class... Args>
Ref call(PyObject* callable, Args... args) noexcept {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)), nullptr));
}

// A `with manager:` block. enter() looks __enter__ and __exit__ up on the
// manager's type, as the with statement does, and calls __enter__; exactly one
// of exit() and exit_with_error() must follow a successful enter().
class WithBlock {
public:
    int enter(PyObject* manager) noexcept;
    // The block ended normally: __exit__(None, None, None). -1 if __exit__ raised.
    int exit() noexcept;
    // The block raised (the exception is set): __exit__(type, value, traceback).
    // Returns 1 when __exit__ suppressed the exception, so execution goes on
    // after the block, and -1 when an exception propagates.
    int exit_with_error() noexcept;

private:
    Ref manager_;
    Ref exit_;  // __exit__ as found on the type; called with the manager first
};

}  // namespace ruk
