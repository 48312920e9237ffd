// The first import of pyspark.ml after a start that left Spark ML's functions out, seen by an audit hook.
//
// An audit hook changes no object of the user's: it is told of every `import`
// before the module is looked for, whichever finder and loader then bring it.
// It is added once per process, at the first start that needs it, and stays
// (CPython has no way to remove one); while no start waits it costs one load
// per audit event.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cstring>

namespace ruk {
namespace {

// Set while this thread runs the registration: the imports and socket calls
// of py4j raise events of their own.
thread_local bool in_registration = false;

// Whether `name` is pyspark.ml or one of its submodules.
bool is_ml_module(PyObject* name) noexcept {
    PyObject* package = state().s_pyspark_ml;
    const Py_ssize_t prefix = PyUnicode_GET_LENGTH(package);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length < prefix || (length > prefix && PyUnicode_READ_CHAR(name, prefix) != '.')) return false;
    const Py_ssize_t match = PyUnicode_Tailmatch(name, package, 0, prefix, -1);
    if (match < 0) PyErr_Clear();
    return match == 1;
}

// Calls session_extensions.on_ml_import and ends the watch, unless a start
// armed it anew meanwhile. 0, or -1 with an exception outside Exception
// (Ctrl-C in the registration: the watch stays for the import's retry).
int register_now() noexcept {
    ModuleState& st = state();
    const unsigned long long armed = st.ml_watch_generation;
    Ref callback = Ref::borrow(st.ml_watch_callback);  // a start may replace the state's meanwhile
    in_registration = true;
    Ref done = call_sibling<Sibling::on_ml_import>(callback.get());  // runs Python code, may release the GIL
    in_registration = false;
    if (!done) {
        if (!pending_is_exception()) return -1;
        PyErr_Clear();  // never fails the user's import; the next request for a session retries
    }
    if (st.ml_watch_generation == armed) st.ml_watching = false;
    return 0;
}

// Called by CPython for every audit event of every interpreter, with the GIL.
int ml_import_hook(const char* event, PyObject* args, void*) noexcept {
    ModuleState& st = state();
    if (!st.ml_watching) return 0;
    if (std::strcmp(event, "import") != 0 || in_registration) return 0;
    // Not at interpreter exit (modules are being torn down), and only in the
    // interpreter whose objects the state holds.
    if (!Py_IsInitialized() || PyInterpreterState_Get() != PyInterpreterState_Main()) return 0;
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) return 0;
    PyObject* name = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(name) || !is_ml_module(name)) return 0;
    return register_now();
}

}  // namespace

int watch_ml_imports(PyObject* globals) {
    ModuleState& st = state();
    Ref callback;
    if (import_siblings(globals, {Sibling::on_ml_import}, &callback) < 0) return -1;
    Py_XSETREF(st.ml_watch_callback, callback.release());
    if (!st.ml_hook_added) {
        st.ml_hook_added = true;  // tried once: a user's hook may refuse it, silently for a RuntimeError
        if (PySys_AddAuditHook(ml_import_hook, nullptr) < 0) {
            if (!pending_is_exception()) return -1;
            PyErr_Clear();  // without the hook, the next request for a session registers
        }
    }
    ++st.ml_watch_generation;
    st.ml_watching = true;
    // The watch goes on before this look, with no Python code in between: an
    // import that made pyspark.ml before it is seen here, a later one by the
    // hook (at its own import event or at one of its submodules').
    if (PyDict_GetItemWithError(PyImport_GetModuleDict(), st.s_pyspark_ml)) return register_now();
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace ruk
