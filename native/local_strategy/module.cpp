// Module frame: the process-wide state, the module's functions and the import steps.
#include "entry_points.hpp"
#include "function_object.hpp"
#include "java_env.hpp"
#include "messages.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "resource_tracker.hpp"
#include "strategy_class.hpp"

#include <initializer_list>
#include <iterator>

namespace ruk {
namespace {

ModuleState g_state;

constexpr const char module_name[] = "ruk.compute.strategies.local";

constexpr const char doc_module[] =
    "\n"
    "Local Spark Connection Strategy\n"
    "\n"
    "Provides embedded PySpark session for local development and testing.\n"
    "This is the default strategy extracted from the original SparkEngine implementation.\n"
    "\n"
    "Includes auto-configuration of Java with PySpark compatibility checking.\n"
    "\n"
    "v0.51.3: Refactored to use java_compat module for centralized Java/PySpark compatibility.\n"
    "v0.5.98: Added JAR provisioning using local file paths (spark.jars).\n"
    "v0.58.5: Fixed Java 21 segfaults by NOT loading jdk.incubator.vector module.\n";
constexpr const char doc_cleanup_all_spark_sessions[] =
    "\n"
    "    Clean up ALL cached Spark sessions.\n"
    "\n"
    "    MUR v0.58.4: Call this at the end of runs to prevent semaphore leaks\n"
    "    and segfaults when the thread pool terminates.\n"
    "\n"
    "    Thread-safe - uses lock for cache access.\n"
    "    ";
constexpr const char doc_disable_multiprocessing_resource_tracker[] =
    "\n"
    "    Disable Python's multiprocessing resource tracker to prevent segfaults.\n"
    "\n"
    "    MUR v0.58.5: PySpark 4.0 + Java 21 creates semaphores that conflict with\n"
    "    Python's resource tracker during shutdown, causing segfaults on macOS.\n"
    "    Disabling the tracker prevents these conflicts.\n"
    "    ";
constexpr const char doc_ensure_java_available[] =
    "\n"
    "    Ensure Java is available and compatible with installed PySpark.\n"
    "\n"
    "    Uses the centralized java_compat module for cross-platform Java detection\n"
    "    and PySpark compatibility checking.\n"
    "\n"
    "    v0.51.3: Refactored to use java_compat module with enhanced compatibility checking.\n"
    "             Always sets JAVA_HOME to a proper JDK path (not /usr or invalid paths).\n"
    "    ";

const FunctionSpec module_functions[] = {
    {"cleanup_all_spark_sessions", "cleanup_all_spark_sessions", doc_cleanup_all_spark_sessions,
     {}, 0, nullptr, cleanup_all_spark_sessions},
    {"_disable_multiprocessing_resource_tracker", "_disable_multiprocessing_resource_tracker",
     doc_disable_multiprocessing_resource_tracker, {}, 0, nullptr,
     disable_multiprocessing_resource_tracker},
    {"_ensure_java_available", "_ensure_java_available", doc_ensure_java_available, {}, 0, nullptr,
     ensure_java_available},
};

PyObject* pack_strings(std::initializer_list<const char*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const char* item : items) {
        PyObject* text = item ? PyUnicode_InternFromString(item) : Py_NewRef(Py_None);
        if (!text) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    return tuple.release();
}

int set_global(PyObject* globals, PyObject* name, PyObject* value) {
    return value ? PyDict_SetItem(globals, name, value) : -1;
}

// The import steps, each binding its result as soon as it succeeds.
int run_import_steps(PyObject* globals) {
    ModuleState& st = state();
    Ref doc = Ref::steal(PyUnicode_FromString(doc_module));
    if (set_global(globals, st.s_dunder_doc, doc.get()) < 0) return -1;

    Ref os = import_module(globals, st.s_os);
    if (set_global(globals, st.s_os, os.get()) < 0) return -1;

    PyObject* typing_names[] = {st.s_Dict, st.s_Optional, st.s_Set, st.s_Tuple};
    Ref typing_values[4];
    if (import_from(globals, st.s_typing, typing_names, 4, typing_values) < 0) return -1;
    for (int i = 0; i < 4; ++i)
        if (set_global(globals, typing_names[i], typing_values[i].get()) < 0) return -1;

    Ref base;
    if (import_from(globals, st.s_base_module, &st.s_BaseConnectionStrategy, 1, &base) < 0 ||
        set_global(globals, st.s_BaseConnectionStrategy, base.get()) < 0)
        return -1;
    Ref error_class;
    if (import_from(globals, st.s_exceptions_module, &st.s_RukRuntimeError, 1, &error_class) < 0 ||
        set_global(globals, st.s_RukRuntimeError, error_class.get()) < 0)
        return -1;

    // PySpark is optional: only an ImportError means "not installed".
    Ref spark_session;
    if (import_from(globals, st.s_pyspark_sql, &st.s_SparkSession, 1, &spark_session) == 0) {
        if (set_global(globals, st.s_SparkSession, spark_session.get()) < 0 ||
            set_global(globals, st.s_PYSPARK_AVAILABLE, Py_True) < 0)
            return -1;
    } else {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        if (set_global(globals, st.s_PYSPARK_AVAILABLE, Py_False) < 0 ||
            set_global(globals, st.s_SparkSession, Py_None) < 0)
            return -1;
    }

    Ref cache = Ref::steal(PyDict_New());
    if (set_global(globals, st.s_SESSION_CACHE, cache.get()) < 0) return -1;

    Ref threading = import_module(globals, st.s_threading);
    if (set_global(globals, st.s_threading, threading.get()) < 0) return -1;
    Ref threading_now = load_global(globals, st.s_threading);
    if (!threading_now) return -1;
    Ref lock_factory = getattr(threading_now.get(), st.s_Lock);
    if (!lock_factory) return -1;
    Ref lock = Ref::steal(PyObject_CallNoArgs(lock_factory.get()));
    if (set_global(globals, st.s_SESSION_LOCK, lock.get()) < 0) return -1;

    Ref module_str = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!module_str) return -1;
    for (const FunctionSpec& spec : module_functions) {
        Ref function = make_function(spec, globals, module_str.get(), nullptr);
        if (!function) return -1;
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
        if (set_global(globals, name.get(), function.get()) < 0) return -1;
    }

    Ref strategy = build_strategy_class(globals, module_str.get());
    if (set_global(globals, st.s_LocalStrategy, strategy.get()) < 0) return -1;

    Ref test = Ref::steal(PyDict_New());
    return set_global(globals, st.s_dunder_test, test.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    ModuleState& st = state();
    // The module belongs to the main interpreter: its state is process-wide and
    // holds that interpreter's objects. Told apart by ID, never by address: a
    // new subinterpreter can be given a destroyed one's address.
    const int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
    const int64_t main_id = PyInterpreterState_GetID(PyInterpreterState_Main());
    if (here < 0 || main_id < 0) return nullptr;
    if (here != main_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    // A re-import after `del sys.modules[...]` gets the module that already
    // exists. The import system then drops the module's state pointer and
    // allocates a fresh (empty) block for the exec step: free the old one.
    if (st.module) {
        PyMem_Free(PyModule_GetState(st.module));
        return Py_NewRef(st.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) noexcept {
    ModuleState& st = state();
    if (st.module) {
        if (st.module == module) return 0;  // re-import: everything is in place
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'local' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (init_constants() < 0 || init_function_type() < 0) return -1;
    if (!st.builtins) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return -1;
        st.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    }
    if (!st.thread_lock_type) {
        Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
        Ref lock_type = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "LockType")) : Ref{};
        if (!lock_type) return -1;
        if (!PyType_Check(lock_type.get())) {
            PyErr_SetString(PyExc_TypeError, "_thread.LockType is not a type");
            return -1;
        }
        st.thread_lock_type = reinterpret_cast<PyTypeObject*>(lock_type.release());
    }
    if (!st.posix_join) {
        Ref posixpath = Ref::steal(PyImport_ImportModule("posixpath"));
        if (!posixpath || !(st.posix_join = PyObject_GetAttrString(posixpath.get(), "join"))) return -1;
    }
    if (!st.start_lock) {
        st.start_lock = PyThread_allocate_lock();
        if (!st.start_lock) {
            PyErr_NoMemory();
            return -1;
        }
    }
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    // On failure the import system drops this module; the next import starts over.
    if (run_import_steps(globals) < 0) return -1;
    st.module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// No traverse/clear/free: every object the module keeps lives in the
// process-wide state, a root for the collector by design, so that neither a
// re-import nor a garbage collection can tear the module down.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "local",
    nullptr,  // __doc__ is bound by the exec step, so a re-import leaves it alone
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

ModuleState& state() noexcept { return g_state; }

int init_constants() noexcept {
    ModuleState& st = g_state;
    if (st.zero_cost) return 0;
#define RUK_INTERN_NAME(ident, text) \
    if (!st.s_##ident && !(st.s_##ident = PyUnicode_InternFromString(text))) return -1;
    RUK_SIBLING_MODULES(RUK_INTERN_NAME)
    RUK_INTERNED_NAMES(RUK_INTERN_NAME)
#undef RUK_INTERN_NAME
    if (init_sibling_names() < 0) return -1;
    if (!(st.lock_exit_args = PyTuple_Pack(3, Py_None, Py_None, Py_None))) return -1;
    if (!(st.path_get_args = pack_strings({"PATH", ""}))) return -1;
    if (!(st.noise_markers = PyTuple_New(std::size(noise_marker_texts)))) return -1;
    for (std::size_t i = 0; i < std::size(noise_marker_texts); ++i) {
        PyObject* marker = PyUnicode_InternFromString(noise_marker_texts[i]);
        if (!marker) return -1;
        PyTuple_SET_ITEM(st.noise_markers, static_cast<Py_ssize_t>(i), marker);
    }
    if (!(st.connectivity_missing = Py_BuildValue("(Os)", Py_False, messages::connectivity_missing)))
        return -1;
    if (!(st.connectivity_ok = Py_BuildValue("(Os)", Py_True, messages::connectivity_ok)))
        return -1;
    if (!(st.spark_session_defaults = PyTuple_Pack(1, Py_None))) return -1;
    if (init_launch_settings() < 0) return -1;
    if (!(st.print_kwnames = pack_strings({"file"}))) return -1;
    if (!(st.md5_kwnames = pack_strings({"usedforsecurity"}))) return -1;
    if (!(st.provisioning_kwnames = pack_strings({"project_dir"}))) return -1;
    // Last: its presence marks the constants as complete.
    st.zero_cost = PyFloat_FromDouble(0.0);
    return st.zero_cost ? 0 : -1;
}

}  // namespace ruk

PyMODINIT_FUNC PyInit_local(void) { return PyModuleDef_Init(&ruk::module_def); }
