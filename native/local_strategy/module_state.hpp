// The process-wide state of the local strategy module, shared by every source file.
#pragma once

#include "refs.hpp"
#include "sibling_calls.hpp"
#include <pythread.h>

#include <cstddef>

namespace ruk {

// The six start-up noise markers, in test order. Plain text, so the thread
// reading the JVM's stderr reads them without the GIL; state().noise_markers holds them as str.
inline constexpr const char* noise_marker_texts[] = {
    "Picked up _JAVA_OPTIONS", "Picked up JAVA_TOOL_OPTIONS", "Using incubator modules",
    "WARNING:", "log4j:", "SLF4J:",
};

// Interned attribute and other module names, built once: identifier, then text.
#define RUK_INTERNED_NAMES(X)                                           \
    X(os, "os")                                                         \
    X(sys, "sys")                                                       \
    X(io, "io")                                                         \
    X(hashlib, "hashlib")                                               \
    X(tempfile, "tempfile")                                             \
    X(threading, "threading")                                           \
    X(typing, "typing")                                                 \
    X(multiprocessing, "multiprocessing")                               \
    X(resource_tracker, "resource_tracker")                             \
    X(pyspark_sql, "pyspark.sql")                                       \
    X(Dict, "Dict")                                                     \
    X(Optional, "Optional")                                             \
    X(Set, "Set")                                                       \
    X(Tuple, "Tuple")                                                   \
    X(BaseConnectionStrategy, "BaseConnectionStrategy")                 \
    X(RukRuntimeError, "RukRuntimeError")                               \
    X(SparkSession, "SparkSession")                                     \
    X(PYSPARK_AVAILABLE, "PYSPARK_AVAILABLE")                           \
    X(SESSION_CACHE, "_SPARK_SESSION_CACHE")                            \
    X(SESSION_LOCK, "_SPARK_SESSION_LOCK")                              \
    X(Lock, "Lock")                                                     \
    X(acquire, "acquire")                                               \
    X(LocalStrategy, "LocalStrategy")                                   \
    X(pyspark_ml, "pyspark.ml")                                         \
    X(disable_tracker_fn, "_disable_multiprocessing_resource_tracker")  \
    X(ensure_java_fn, "_ensure_java_available")                         \
    X(get_jdbc_jars_fn, "_get_jdbc_jars")                               \
    X(get_spark_session_fn, "get_spark_session")                        \
    X(dunder_doc, "__doc__")                                            \
    X(dunder_module, "__module__")                                      \
    X(dunder_qualname, "__qualname__")                                  \
    X(dunder_test, "__test__")                                          \
    X(dunder_enter, "__enter__")                                        \
    X(dunder_exit, "__exit__")                                          \
    X(dunder_prepare, "__prepare__")                                    \
    X(dunder_mro_entries, "__mro_entries__")                            \
    X(dunder_orig_bases, "__orig_bases__")                              \
    X(dunder_name, "__name__")                                          \
    X(dunder_signature, "__signature__")                                \
    X(environ, "environ")                                               \
    X(path, "path")                                                     \
    X(pathsep, "pathsep")                                               \
    X(join, "join")                                                     \
    X(getcwd, "getcwd")                                                 \
    X(get, "get")                                                       \
    X(items, "items")                                                   \
    X(clear, "clear")                                                   \
    X(strip, "strip")                                                   \
    X(split, "split")                                                   \
    X(md5, "md5")                                                       \
    X(hexdigest, "hexdigest")                                           \
    X(gettempdir, "gettempdir")                                         \
    X(stderr_, "stderr")                                                \
    X(StringIO, "StringIO")                                             \
    X(getvalue, "getvalue")                                             \
    X(print, "print")                                                   \
    X(config, "config")                                                 \
    X(app_name, "app_name")                                             \
    X(builder, "builder")                                               \
    X(appName, "appName")                                               \
    X(master, "master")                                                 \
    X(settings, "settings")                                             \
    X(owns_launch, "owns_launch")                                       \
    X(getOrCreate, "getOrCreate")                                       \
    X(sparkContext, "sparkContext")                                     \
    X(setLogLevel, "setLogLevel")                                       \
    X(getConf, "getConf")                                               \
    X(jsc, "_jsc")                                                      \
    X(getActiveSession, "getActiveSession")                             \
    X(stop, "stop")                                                     \
    X(sql, "sql")                                                       \
    X(collect, "collect")                                               \
    X(get_spark_config, "get_spark_config")                             \
    X(java_supported, "java_supported")                                 \
    X(version, "version")                                               \
    X(major_minor, "major_minor")                                       \
    X(JAVA_HOME, "JAVA_HOME")                                           \
    X(PATH, "PATH")                                                     \
    X(JAVA_OPTIONS, "_JAVA_OPTIONS")                                    \
    X(bin, "bin")                                                       \
    X(fd, "_fd")                                                        \
    X(tracker_attr, "_resource_tracker")                                \
    X(empty, "")                                                        \
    X(comma_space, ", ")                                                \
    X(newline, "\n")                                                    \
    X(master_key, "master")                                             \
    X(local, "local")                                                   \
    X(error_level, "ERROR")                                             \
    X(select_one, "SELECT 1 AS test")

// Everything the module keeps for the life of the process. The module is a
// process singleton: a re-import after `del sys.modules[...]` hands back the
// same module object, so this state is not CPython's per-module state (which
// the import machinery resets on each create step) but one struct per process.
struct ModuleState {
    // Strong reference: the one module object, set when its exec step succeeded.
    PyObject* module = nullptr;
    // Strong reference: the type of the module's function objects.
    PyTypeObject* function_type = nullptr;
    // Strong reference: the `builtins` module's dict, the fallback of global lookups.
    PyObject* builtins = nullptr;

    // Modules already seen fully imported, by interned name (see import_module):
    // strong references, a handful of entries.
    struct ImportedModule {
        PyObject* name;
        PyObject* module;
    };
    ImportedModule imported[24] = {};  // more than the module imports by name

    // Strong reference: _thread.LockType, the type threading.Lock() returns.
    PyTypeObject* thread_lock_type = nullptr;

    // Strong reference: posixpath.join as imported at start-up (see path_join).
    PyObject* posix_join = nullptr;

    // The start window: serialises session starts from the reuse check's
    // stop of the active session through the storage of the new session
    // (the start-up capture among it). Taken only without blocking while
    // _SPARK_SESSION_LOCK is held. Replaced by a fresh lock in a child forked
    // while another thread held it.
    PyThread_type_lock start_lock = nullptr;
    unsigned long start_owner = 0;  // thread ident holding start_lock, 0 when free
    // What the open capture replaced, so that a forked child can put it back
    // (console_capture.cpp). Only the thread owning start_lock changes it.
    PyObject* capture_proxy = nullptr;  // strong: the stream the window installed (it holds the one it replaced)
    // Strong reference: the type of the installed stream, made by the first start.
    PyTypeObject* capture_proxy_type = nullptr;
    bool start_at_fork_registered = false;

    // The watch for the first import of pyspark.ml (import_watch.cpp), read
    // and written with the GIL held, also by the audit hook.
    bool ml_watching = false;     // a start left Spark ML's functions to that import
    bool ml_hook_added = false;   // the audit hook was added (tried once per process)
    unsigned long long ml_watch_generation = 0;  // how often a start turned the watch on
    PyObject* ml_watch_callback = nullptr;       // strong: session_extensions.on_ml_import

    // The sibling callables (sibling_calls.hpp): their interned names, and the
    // last object of each that passed the arguments check (strong references).
    PyObject* sibling_names[static_cast<int>(Sibling::count)] = {};
    PyObject* sibling_checked[static_cast<int>(Sibling::count)] = {};

    // Strong references, all built once by init_constants() and never changed.
#define RUK_DECLARE_NAME(ident, text) PyObject* s_##ident = nullptr;
    RUK_SIBLING_MODULES(RUK_DECLARE_NAME)
    RUK_INTERNED_NAMES(RUK_DECLARE_NAME)
#undef RUK_DECLARE_NAME
    PyObject* lock_exit_args = nullptr;     // (None, None, None)
    PyObject* path_get_args = nullptr;      // ("PATH", "")
    PyObject* noise_markers = nullptr;      // the six start-up noise markers, in test order
    PyObject* connectivity_missing = nullptr; // (False, "PySpark not installed")
    PyObject* connectivity_ok = nullptr;      // (True, "Local Spark session created and SQL test passed")
    PyObject* spark_session_defaults = nullptr; // (None,)
    PyObject* zero_cost = nullptr;          // the float 0.0

    // The launch settings of launch_settings.cpp as Python objects, built by
    // init_launch_settings(). Strong references.
    struct LaunchSettings {
        PyObject* keep_alive_get_args = nullptr;   // (the keep-alive variable, its "off" default)
        PyObject* keep_alive_on = nullptr;         // the value that keeps sessions alive
        PyObject* log4j_config = nullptr;          // text of the quiet logging configuration
        PyObject* log4j_file_name = nullptr;       // set last: the settings are complete
    } launch;
    PyObject* print_kwnames = nullptr;      // ("file",)
    PyObject* md5_kwnames = nullptr;        // ("usedforsecurity",)
    PyObject* provisioning_kwnames = nullptr; // ("project_dir",)
};

ModuleState& state() noexcept;

// Builds the names and constants above; idempotent. -1 with an exception set on failure.
int init_constants() noexcept;
// Builds state().launch (launch_settings.cpp); -1 with an exception set on failure.
int init_launch_settings() noexcept;

}  // namespace ruk
