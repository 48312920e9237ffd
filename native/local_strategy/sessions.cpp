// Spark session management: creation, the cache and its reuse check, release, cleanup.
#include "entry_points.hpp"
#include "messages.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

namespace ruk {

// The strategy's input, checked before anything changes, so a value Spark
// cannot take never starts a JVM nor reaches the cache: a dict config with
// string keys, a string "master" if any, a string app_name. Values stay as
// they are: Spark takes numbers and booleans too. validate_config() asks the same.
int check_strategy_input(PyObject* globals, PyObject* self) {
    ModuleState& st = state();
    Ref config = getattr(self, st.s_config);
    if (!config) return -1;
    if (!PyDict_Check(config.get()))
        return raise_runtime_error(globals, PyUnicode_FromFormat(messages::config_not_a_dict,
                                                                 reinterpret_cast<PyObject*>(Py_TYPE(config.get()))));
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(config.get(), &position, &key, &value)) {
        if (PyUnicode_Check(key)) continue;
        Ref held = Ref::borrow(key);  // repr() may run code that changes the dict
        return raise_runtime_error(globals, PyUnicode_FromFormat(messages::setting_name_not_a_string,
                                                                 Py_TYPE(key)->tp_name, key));
    }
    Ref master = Ref::borrow(PyDict_GetItemWithError(config.get(), st.s_master_key));
    if (!master && PyErr_Occurred()) return -1;
    if (master && !PyUnicode_Check(master.get()))
        return raise_runtime_error(
            globals, PyUnicode_FromFormat(messages::master_not_a_string,
                                          Py_TYPE(master.get())->tp_name, master.get()));
    Ref app_name = getattr(self, st.s_app_name);
    if (!app_name) return -1;
    if (!PyUnicode_Check(app_name.get()))
        return raise_runtime_error(globals,
                                   PyUnicode_FromFormat(messages::app_name_not_a_string,
                                                        Py_TYPE(app_name.get())->tp_name, app_name.get()));
    return 0;
}

namespace {

// MD5 hex digest of str(sorted(self.config.items())): equal configurations
// share a key whatever their insertion order. Not a security use, which a
// host in FIPS mode refuses unless told.
Ref compute_cache_key(PyObject* self, PyObject* hashlib) {
    ModuleState& st = state();
    Ref config = getattr(self, st.s_config);
    Ref items = config ? call_method(config.get(), st.s_items) : Ref{};
    Ref pairs = items ? Ref::steal(PySequence_List(items.get())) : Ref{};
    if (!pairs || PyList_Sort(pairs.get()) < 0) return {};
    Ref text = Ref::steal(PyObject_Str(pairs.get()));
    Ref encoded = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref{};
    if (!encoded) return {};
    PyObject* argv[] = {hashlib, encoded.get(), Py_False};  // md5(encoded, usedforsecurity=False)
    Ref digest = Ref::steal(PyObject_VectorcallMethod(st.s_md5, argv, 2, st.md5_kwnames));
    return digest ? call_method(digest.get(), st.s_hexdigest) : Ref{};
}

// The cache is looked up anew for each use, as the Python statements that use
// it do: a rebinding of _SPARK_SESSION_CACHE between two uses (by a finaliser
// run in between, or another thread) is honoured by the later one.
Ref load_cache(PyObject* globals) { return load_global(globals, state().s_SESSION_CACHE); }

// list(_SPARK_SESSION_CACHE.items()): a private copy, safe to walk while deleting.
Ref cache_snapshot(PyObject* globals) {
    Ref cache = load_cache(globals);
    Ref items = cache ? call_method(cache.get(), state().s_items) : Ref{};
    return items ? Ref::steal(PySequence_List(items.get())) : Ref{};
}

// Liveness of a cached session. getConf() keeps answering after the context
// was stopped (it reads the still-running JVM's configuration), so a context
// that PySpark itself marks as stopped (_jsc is None) is dead too.
// 1 live, 0 dead (exception cleared), -1 an exception outside Exception.
int probe_session(PyObject* globals, PyObject* session) {
    ModuleState& st = state();
    Ref context = getattr(session, st.s_sparkContext);
    Ref conf = context ? call_method(context.get(), st.s_getConf) : Ref{};
    if (conf) {
        Ref java_context = getattr(context.get(), st.s_jsc);
        if (java_context) return java_context.get() != Py_None;
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // A stand-in context, or a PySpark that no longer has _jsc (which
            // says so once): getConf's answer stands.
            PyErr_Clear();
            Ref function;
            if (import_siblings(globals, {Sibling::context_without_jsc}, &function) == 0 &&
                call_sibling<Sibling::context_without_jsc>(function.get(), context.get()))
                return 1;
            if (!pending_is_exception()) return -1;
            PyErr_Clear();
            return 1;
        }
    }
    if (!pending_is_exception()) return -1;
    PyErr_Clear();
    return 0;
}

// Stops whatever session PySpark reports as active and forgets every cached
// one, making room for the new session (best effort). Then the same for what
// the builder would hand out instead of a new session (its default session,
// the running SparkContext), which may be another thread's, of another
// configuration: that one must go, or the start fails with the reason.
int stop_active_session(PyObject* globals) {
    ModuleState& st = state();
    Ref spark_session = load_global(globals, st.s_SparkSession);
    Ref existing = spark_session ? call_method(spark_session.get(), st.s_getActiveSession) : Ref{};
    int active = existing ? PyObject_IsTrue(existing.get()) : -1;
    if (active > 0) {
        Ref stopped = call_method(existing.get(), st.s_stop);
        Ref cache = stopped ? load_cache(globals) : Ref{};
        Ref cleared = cache ? call_method(cache.get(), st.s_clear) : Ref{};
        if (!cleared) active = -1;
    }
    if (active < 0) {
        if (!pending_is_exception()) return -1;
        PyErr_Clear();
    }

    Ref reused;
    if (import_siblings(globals, {Sibling::stop_reused_session}, &reused) < 0) return -1;
    spark_session = load_global(globals, st.s_SparkSession);
    Ref stopped = spark_session ? call_sibling<Sibling::stop_reused_session>(reused.get(), spark_session.get())
                                : Ref{};
    int any = stopped ? PyObject_IsTrue(stopped.get()) : -1;
    if (any <= 0) return any;
    Ref cache = load_cache(globals);
    return cache && call_method(cache.get(), st.s_clear) ? 0 : -1;
}

// The lookup phase, run with _SPARK_SESSION_LOCK held: 1 with `found` set to
// a live cached session; 0 when a new session must be made, with `window`
// held; 2 when another thread's start holds the window (the caller waits for
// it outside the lock and looks again); -1 on error.
int reuse_check(PyObject* globals, PyObject* cache_key, Ref& found, StartWindow& window) {
    if (window.try_enter() < 0) return -1;  // first: a failing lookup still starts inside the window
    Ref cache = load_cache(globals);
    if (!cache) return -1;
    int cached = PySequence_Contains(cache.get(), cache_key);
    if (cached < 0) return -1;
    if (cached) {
        Ref session = Ref::steal(PyObject_GetItem(cache.get(), cache_key));
        if (!session) return -1;
        int live = probe_session(globals, session.get());
        if (live < 0) return -1;
        if (live) {
            found = std::move(session);
            return 1;
        }
        Ref cache_for_eviction = load_cache(globals);
        if (!cache_for_eviction || PyObject_DelItem(cache_for_eviction.get(), cache_key) < 0) return -1;
    }
    if (!window.held()) return 2;
    return stop_active_session(globals) < 0 ? -1 : 0;
}

// `with _SPARK_SESSION_LOCK: <step>`; 0 when the block completed or its
// error was suppressed by __exit__, -1 when an exception propagates.
template <class Step>
int with_session_lock(PyObject* globals, Step&& step) {
    Ref lock = load_global(globals, state().s_SESSION_LOCK);
    WithBlock block;
    if (!lock || block.enter(lock.get()) < 0) return -1;
    if (step() < 0) return block.exit_with_error() > 0 ? 0 : -1;
    return block.exit();
}

// A cached session is handed out with Spark ML's functions when pyspark.ml is
// imported: it may have come in by a route the import watch can't see (put in
// sys.modules by hand, or made with no import of a submodule by a caller of
// importlib, which raises no import event).
int ml_functions_for_reuse(PyObject* globals) {
    ModuleState& st = state();
    if (!PyDict_GetItemWithError(PyImport_GetModuleDict(), st.s_pyspark_ml)) return PyErr_Occurred() ? -1 : 0;
    Ref on_reuse;
    if (import_siblings(globals, {Sibling::on_reuse}, &on_reuse) < 0) return -1;
    Ref done = call_sibling<Sibling::on_reuse>(on_reuse.get());
    return done ? 0 : -1;
}

Ref call_global(PyObject* globals, PyObject* name) {
    Ref function = load_global(globals, name);
    return function ? Ref::steal(PyObject_CallNoArgs(function.get())) : Ref{};
}

// The start's plan (launch_plan.start_plan), computed inside the window.
Ref make_plan(PyObject* globals, PyObject* self, PyObject* cache_key, PyObject* log4j_file, PyObject* jar_paths) {
    Ref start_plan;
    if (import_siblings(globals, {Sibling::start_plan}, &start_plan) < 0) return {};
    Ref spark_session = load_global(globals, state().s_SparkSession);
    return spark_session ? call_sibling<Sibling::start_plan>(start_plan.get(), self, cache_key, spark_session.get(),
                                                             log4j_file, jar_paths)
                         : Ref{};
}

// builder.appName(...).master(...), then builder.config(key, value) for each
// of the plan's settings, in order.
Ref configure_builder(PyObject* globals, PyObject* plan) {
    ModuleState& st = state();
    Ref spark_session = load_global(globals, st.s_SparkSession);
    Ref builder = spark_session ? getattr(spark_session.get(), st.s_builder) : Ref{};
    Ref app_name = builder ? getattr(plan, st.s_app_name) : Ref{};
    builder = app_name ? call_method(builder.get(), st.s_appName, app_name.get()) : Ref{};
    Ref master = builder ? getattr(plan, st.s_master) : Ref{};
    builder = master ? call_method(builder.get(), st.s_master, master.get()) : Ref{};
    Ref settings = builder ? getattr(plan, st.s_settings) : Ref{};
    if (!settings || require_exact_type(settings.get(), &PyTuple_Type) < 0) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(settings.get()); ++i) {
        Ref key, value;
        if (unpack_pair(PyTuple_GET_ITEM(settings.get(), i), key, value) < 0) return {};
        builder = call_method(builder.get(), st.s_config, key.get(), value.get());
        if (!builder) return {};
    }
    return builder;
}

}  // namespace

PyObject* get_spark_session(PyObject* globals, PyObject* const* args) {
    ModuleState& st = state();
    PyObject* self = args[0];
    Ref sys = import_module(globals, st.s_sys);
    Ref hashlib = sys ? import_module(globals, st.s_hashlib) : Ref{};
    if (!hashlib) return nullptr;

    Ref available = load_global(globals, st.s_PYSPARK_AVAILABLE);
    if (!available || raise_runtime_error_unless(globals, available.get(), messages::pyspark_unavailable) < 0)
        return nullptr;
    if (check_strategy_input(globals, self) < 0) return nullptr;

    if (!call_global(globals, st.s_disable_tracker_fn)) return nullptr;
    if (adjust_java_options(globals) < 0) return nullptr;
    if (!call_global(globals, st.s_ensure_java_fn)) return nullptr;
    Ref cache_key = compute_cache_key(self, hashlib.get());
    if (!cache_key) return nullptr;

    // Starts are serialised (the start window) from the stop of the active
    // session through the storage of the new one: a start never takes over,
    // nor caches, another configuration's session, and the process's first
    // JVM is launched once. The window is only ever tried while
    // _SPARK_SESSION_LOCK is held; a thread that finds it taken waits
    // outside the lock, then looks again: the session it waited for may be
    // the one it asked for.
    StartWindow window;
    Ref cached;
    for (;;) {
        int found = 0;
        if (with_session_lock(globals, [&] {
                found = reuse_check(globals, cache_key.get(), cached, window);
                return found;
            }) < 0)
            return nullptr;
        if (found == 1) {
            window.leave();
            return ml_functions_for_reuse(globals) < 0 ? nullptr : cached.release();
        }
        if (window.held()) break;
        if (window.enter() < 0) return nullptr;
    }

    // Without the lock from here: files, JAR listing and the JVM start take time.
    Ref log4j_file = write_log4j_file(globals);
    Ref jar_cache_dir = log4j_file ? prepare_jar_directory(globals) : Ref{};
    Ref jar_paths = jar_cache_dir ? call_method(self, st.s_get_jdbc_jars_fn, jar_cache_dir.get()) : Ref{};
    Ref plan = jar_paths ? make_plan(globals, self, cache_key.get(), log4j_file.get(), jar_paths.get()) : Ref{};
    Ref builder = plan ? configure_builder(globals, plan.get()) : Ref{};
    DriverLaunch launch;
    if (!builder || launch.prepare(globals, plan.get()) < 0) return nullptr;
    Ref spark = start_session_quietly(globals, sys.get(), builder.get(), launch, window);
    if (!spark) return nullptr;

    if (with_session_lock(globals, [&] {
            Ref cache = load_cache(globals);
            return cache ? PyObject_SetItem(cache.get(), cache_key.get(), spark.get()) : -1;
        }) < 0) {
        launch.undo(spark.get());  // nobody would ever find or stop it
        return nullptr;
    }
    window.leave();
    // After caching: a warning turned into an error must not lose the session.
    Ref warn;
    if (import_siblings(globals, {Sibling::warn_unapplied_settings}, &warn) < 0) return nullptr;
    Ref warned = call_sibling<Sibling::warn_unapplied_settings>(warn.get(), spark.get(), plan.get());
    if (!warned || launch.offer_spare(plan.get()) < 0 || start_pending_build(globals, spark.get(), plan.get()) < 0)
        return nullptr;
    // Spark ML's functions, which the start may have left out, for ML users:
    // now, or at the first import of pyspark.ml.
    Ref after_start;
    if (import_siblings(globals, {Sibling::ml_after_start}, &after_start) < 0) return nullptr;
    Ref watch = call_sibling<Sibling::ml_after_start>(after_start.get());
    int watching = watch ? PyObject_IsTrue(watch.get()) : -1;
    if (watching < 0 || (watching && watch_ml_imports(globals) < 0)) return nullptr;
    return spark.release();
}

PyObject* close_session(PyObject* globals, PyObject* const* args) {
    ModuleState& st = state();
    PyObject* spark = args[1];
    Ref os = import_module(globals, st.s_os);
    Ref environ = os ? getattr(os.get(), st.s_environ) : Ref{};
    Ref environ_get = environ ? getattr(environ.get(), st.s_get) : Ref{};
    Ref flag = environ_get ? Ref::steal(PyObject_Call(environ_get.get(), st.launch.keep_alive_get_args, nullptr))
                           : Ref{};
    Ref keep_alive = flag ? Ref::steal(PyObject_RichCompare(flag.get(), st.launch.keep_alive_on, Py_EQ)) : Ref{};
    if (!keep_alive) return nullptr;
    int keep = PyObject_IsTrue(keep_alive.get());
    if (keep < 0) return nullptr;
    if (keep) Py_RETURN_NONE;
    int given = PyObject_IsTrue(spark);
    if (given < 0) return nullptr;
    if (!given) Py_RETURN_NONE;

    // Best effort from here: the entry is dropped under the lock, the session
    // is stopped after it is released.
    int removed = with_session_lock(globals, [&] {
        Ref snapshot = cache_snapshot(globals);
        if (!snapshot) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
            Ref key, cached_spark;
            if (unpack_pair(PyList_GET_ITEM(snapshot.get(), i), key, cached_spark) < 0) return -1;
            if (cached_spark.get() != spark) continue;
            Ref cache_for_release = load_cache(globals);
            return cache_for_release ? PyObject_DelItem(cache_for_release.get(), key.get()) : -1;
        }
        return 0;
    });
    if (removed == 0 && call_method(spark, st.s_stop)) Py_RETURN_NONE;
    if (!pending_is_exception()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject* cleanup_all_spark_sessions(PyObject* globals, PyObject* const*) {
    ModuleState& st = state();
    if (with_session_lock(globals, [&] {
            Ref snapshot = cache_snapshot(globals);
            if (!snapshot) return -1;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
                Ref cache_key, spark;
                if (unpack_pair(PyList_GET_ITEM(snapshot.get(), i), cache_key, spark) < 0) return -1;
                if (call_method(spark.get(), st.s_stop)) continue;
                if (!pending_is_exception()) return -1;
                PyErr_Clear();  // one session failing to stop does not keep the others running
            }
            Ref cache_to_clear = load_cache(globals);
            Ref cleared = cache_to_clear ? call_method(cache_to_clear.get(), st.s_clear) : Ref{};
            return cleared ? 0 : -1;
        }) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace ruk
