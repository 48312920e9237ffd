// Calling into Python the way Python code itself would: globals, imports, raise, with.
#include "py_helpers.hpp"

#include "module_state.hpp"

#include <chrono>
#include <sched.h>

namespace ruk {

Ref load_global(PyObject* globals, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = PyDict_GetItemWithError(state().builtins, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return {};
        }
    }
    return Ref::borrow(value);
}

// The module under `name` in sys.modules when it is the very object an
// earlier import of ours returned: that one finished initialising, so the
// import machinery's "is it still initialising?" check can be skipped.
// Borrowed reference, or nullptr (no error set) when a full import is needed.
static PyObject* known_module(PyObject* name) noexcept {
    for (const auto& entry : state().imported) {
        if (entry.name != name) continue;
        PyObject* current = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
        if (current == entry.module) return current;
        PyErr_Clear();
        return nullptr;
    }
    return nullptr;
}

static void remember_module(PyObject* name, PyObject* module) noexcept {
    for (auto& entry : state().imported) {
        if (entry.name == name || !entry.name) {
            if (!entry.name) entry.name = Py_NewRef(name);
            Py_XSETREF(entry.module, Py_NewRef(module));
            return;
        }
    }
}

Ref import_module(PyObject* globals, PyObject* name) noexcept {
    if (PyObject* module = known_module(name)) return Ref::borrow(module);
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
    // Only dotless names: for "a.b" the statement binds the top-level package.
    if (module && PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1) == -1)
        remember_module(name, module.get());
    return module;
}

// The import statement's "from" step: the attribute, else the submodule
// already in sys.modules, else the ImportError Python gives.
static Ref import_name_from(PyObject* module, PyObject* name) noexcept {
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref package_name = getattr(module, state().s_dunder_name);
    if (!package_name || !PyUnicode_Check(package_name.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name,
                     Py_None);
        return {};
    }
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
    if (!full_name) return {};
    PyObject* submodule = PyImport_GetModule(full_name.get());
    if (submodule) return Ref::steal(submodule);
    if (PyErr_Occurred()) return {};

    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    if (!path) PyErr_Clear();
    Ref message = Ref::steal(
        path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package_name.get(),
                                    path.get())
             : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                    package_name.get()));
    if (!message) return {};
    PyErr_SetImportError(message.get(), package_name.get(), path ? path.get() : nullptr);
    return {};
}

int import_from(PyObject* globals, PyObject* module_name, PyObject* const* names,
                std::size_t count, Ref* out) noexcept {
    // Fast path for a module already imported by us that has every name: what the
    // full statement would find too, without the import machinery's fromlist
    // handling (a Python-level call for packages) on every request.
    Ref module = Ref::borrow(known_module(module_name));
    if (module) {
        std::size_t found = 0;
        for (; found < count; ++found) {
            out[found] = getattr(module.get(), names[found]);
            if (!out[found]) break;
        }
        if (found == count) return 0;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            for (std::size_t i = 0; i < count; ++i) out[i].reset();
            return -1;
        }
        PyErr_Clear();
    }

    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!fromlist) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        Py_INCREF(names[i]);
        PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), names[i]);
    }
    module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
    if (!module) return -1;
    // With a fromlist the statement yields the named module itself.
    if (PyModule_Check(module.get())) remember_module(module_name, module.get());
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = import_name_from(module.get(), names[i]);
        if (!out[i]) {
            for (std::size_t j = 0; j < i; ++j) out[j].reset();
            return -1;
        }
    }
    return 0;
}

Ref path_join(PyObject* os_path, PyObject* head, PyObject* tail) noexcept {
    ModuleState& st = state();
    Ref join = getattr(os_path, st.s_join);
    if (!join) return {};
    if (join.get() != st.posix_join || !PyUnicode_CheckExact(head) || !PyUnicode_CheckExact(tail))
        return call(join.get(), head, tail);
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
    if (PyUnicode_GET_LENGTH(tail) > 0 && PyUnicode_READ_CHAR(tail, 0) == '/') return Ref::borrow(tail);
    if (head_length == 0 || PyUnicode_READ_CHAR(head, head_length - 1) == '/')
        return Ref::steal(PyUnicode_Concat(head, tail));
    return Ref::steal(PyUnicode_FromFormat("%U/%U", head, tail));
}

int raise_object(PyObject* obj) noexcept {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        return -1;
    }
    if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
        if (!instance) return -1;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         obj, Py_TYPE(instance.get())->tp_name);
            return -1;
        }
        PyErr_SetObject(obj, instance.get());
        return -1;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return -1;
}

int raise_runtime_error(PyObject* globals, PyObject* message) noexcept {
    Ref owned_message = Ref::steal(message);
    Ref error_class = owned_message ? load_global(globals, state().s_RukRuntimeError) : Ref{};
    Ref error = error_class ? call(error_class.get(), owned_message.get()) : Ref{};
    if (error) raise_object(error.get());
    return -1;
}

int raise_runtime_error_unless(PyObject* globals, PyObject* value, const char* message) noexcept {
    int truth = PyObject_IsTrue(value);
    if (truth != 0) return truth < 0 ? -1 : 0;
    return raise_runtime_error(globals, PyUnicode_FromString(message));
}

int require_exact_type(PyObject* value, PyTypeObject* type) noexcept {
    if (Py_IS_TYPE(value, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

int unpack_pair(PyObject* pair, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair)->tp_name);
        return -1;
    }
    Ref* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// __enter__/__exit__ are looked up on the type, never on the instance.
static Ref lookup_special(PyObject* obj, PyObject* name) noexcept {
    Ref found = getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return found;
}

// A contended threading.Lock is handed to a thread blocked in acquire()
// while the releasing thread keeps the GIL, so each hand-over costs a GIL
// switch and threads queue behind each other (a convoy). Trying without
// blocking, and giving up the GIL between tries, leaves the lock to whoever
// runs. 1 acquired, 0 still busy after a while (block as usual), -1 error.
static int acquire_lock_briefly(PyObject* lock) noexcept {
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::milliseconds(1);
    for (;;) {
        Ref acquired = call_method(lock, state().s_acquire, Py_False);
        if (!acquired) return -1;
        if (acquired.get() == Py_True) return 1;
        if (clock::now() >= give_up) return 0;
        Py_BEGIN_ALLOW_THREADS
        sched_yield();
        Py_END_ALLOW_THREADS
    }
}

int WithBlock::enter(PyObject* manager) noexcept {
    Ref enter_fn = lookup_special(manager, state().s_dunder_enter);
    if (!enter_fn) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return -1;
    }
    Ref exit_fn = lookup_special(manager, state().s_dunder_exit);
    if (!exit_fn) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol "
                         "(missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return -1;
    }
    // For the interpreter's own lock type __enter__ is acquire(); anything
    // else gets its __enter__ called as it is.
    int acquired = Py_IS_TYPE(manager, state().thread_lock_type) ? acquire_lock_briefly(manager) : 0;
    if (acquired < 0) return -1;
    if (!acquired) {
        Ref entered = call(enter_fn.get(), manager);  // may run arbitrary Python code (and block)
        if (!entered) return -1;
    }
    manager_ = Ref::borrow(manager);
    exit_ = std::move(exit_fn);
    return 0;
}

int WithBlock::exit() noexcept {
    PyObject* const* none3 = &PyTuple_GET_ITEM(state().lock_exit_args, 0);
    Ref result = call(exit_.get(), manager_.get(), none3[0], none3[1], none3[2]);
    exit_.reset();
    manager_.reset();
    return result ? 0 : -1;
}

int WithBlock::exit_with_error() noexcept {
    PendingError pending;
    Ref args = pending.as_exit_args();
    if (!args) {
        pending.chain_under_current();
        return -1;
    }
    int suppress;
    {
        // __exit__ runs as in the with statement, with the block's error being
        // handled: what it raises gets that error as __context__ from the
        // interpreter itself, intermediate exceptions and cycle breaking included.
        HandlingScope handling(PyTuple_GET_ITEM(args.get(), 1));  // the normalised exception
        Ref result = call(exit_.get(), manager_.get(), PyTuple_GET_ITEM(args.get(), 0),
                          PyTuple_GET_ITEM(args.get(), 1), PyTuple_GET_ITEM(args.get(), 2));
        suppress = result ? PyObject_IsTrue(result.get()) : -1;
    }
    exit_.reset();
    manager_.reset();
    if (suppress < 0) return -1;
    if (suppress) return 1;  // the pending exception is dropped with `pending`
    pending.restore();
    return -1;
}

}  // namespace ruk
