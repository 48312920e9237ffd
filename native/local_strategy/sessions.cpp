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
// share a key whatever their insertion order.
Ref compute_cache_key(PyObject* self, PyObject* hashlib) {
    ModuleState& st = state();
    Ref config = getattr(self, st.s_config);
    Ref items = config ? call_method(config.get(), st.s_items) : Ref{};
    Ref pairs = items ? Ref::steal(PySequence_List(items.get())) : Ref{};
    if (!pairs || PyList_Sort(pairs.get()) < 0) return {};
    Ref text = Ref::steal(PyObject_Str(pairs.get()));
    Ref encoded = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref{};
    Ref digest = encoded ? call_method(hashlib, st.s_md5, encoded.get()) : Ref{};
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
// one, making room for the new session. Best effort.
int stop_active_session(PyObject* globals) {
    ModuleState& st = state();
    Ref spark_session = load_global(globals, st.s_SparkSession);
    Ref existing = spark_session ? call_method(spark_session.get(), st.s_getActiveSession) : Ref{};
    if (existing) {
        int active = PyObject_IsTrue(existing.get());
        if (active > 0) {
            Ref stopped = call_method(existing.get(), st.s_stop);
            Ref cache = stopped ? load_cache(globals) : Ref{};
            Ref cleared = cache ? call_method(cache.get(), st.s_clear) : Ref{};
            if (cleared) return 0;
        } else if (active == 0) {
            return 0;
        }
    }
    if (!pending_is_exception()) return -1;
    PyErr_Clear();
    return 0;
}

// The lookup phase, run with _SPARK_SESSION_LOCK held: 1 with `found` set to
// a live cached session, 0 when a new session must be made, -1 on error.
int reuse_check(PyObject* globals, PyObject* cache_key, Ref& found) {
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

// builder.appName(...).master(...), then builder.config(key, value) for each
// pair launch_plan.effective_settings gives this start. `app_name`, `master`
// and `settings` receive what the builder was given.
Ref configure_builder(PyObject* globals, PyObject* self, PyObject* log4j_file, PyObject* jar_paths,
                      PyObject* gateway_before, Ref& app_name, Ref& master, Ref& settings) {
    ModuleState& st = state();
    Ref spark_session = load_global(globals, st.s_SparkSession);
    Ref builder = spark_session ? getattr(spark_session.get(), st.s_builder) : Ref{};
    app_name = builder ? getattr(self, st.s_app_name) : Ref{};
    builder = app_name ? call_method(builder.get(), st.s_appName, app_name.get()) : Ref{};
    if (!builder) return {};

    Ref config = getattr(self, st.s_config);
    Ref config_get = config ? getattr(config.get(), st.s_get) : Ref{};
    master = config_get ? Ref::steal(PyObject_Call(config_get.get(), st.launch.master_get_args, nullptr))
                            : Ref{};
    builder = master ? call_method(builder.get(), st.s_master, master.get()) : Ref{};
    if (!builder) return {};

    Ref user_config = getattr(self, st.s_config);
    Ref plan;
    if (!user_config || import_siblings(globals, {Sibling::effective_settings}, &plan) < 0) return {};
    PyObject* jvm_running = gateway_before != Py_None ? Py_True : Py_False;
    settings = call_sibling<Sibling::effective_settings>(plan.get(), user_config.get(), log4j_file, jar_paths,
                                                         jvm_running);
    if (!settings || require_exact_type(settings.get(), &PyList_Type) < 0) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(settings.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(settings.get(), i));
        Ref key, value;
        if (unpack_pair(pair.get(), key, value) < 0) return {};
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

    Ref cached;
    int found = 0;
    if (with_session_lock(globals, [&] {
            found = reuse_check(globals, cache_key.get(), cached);
            return found;
        }) < 0)
        return nullptr;
    if (found > 0) return ml_functions_for_reuse(globals) < 0 ? nullptr : cached.release();

    // Without the lock from here: files, JAR listing and the JVM start take time.
    Ref log4j_file = write_log4j_file(globals);
    Ref jar_cache_dir = log4j_file ? prepare_jar_directory(globals) : Ref{};
    Ref jar_paths = jar_cache_dir ? call_method(self, st.s_get_jdbc_jars_fn, jar_cache_dir.get()) : Ref{};
    if (!jar_paths) return nullptr;
    // Whether a JVM runs already, asked once, before the start that may
    // launch one: the archive options and the warnings go by this answer.
    Ref jvm_functions[2];
    if (import_siblings(globals, {Sibling::running_gateway, Sibling::warn_unapplied_settings}, jvm_functions) < 0)
        return nullptr;
    Ref gateway_before = call_sibling<Sibling::running_gateway>(jvm_functions[0].get());
    if (!gateway_before) return nullptr;
    Ref app_name, master, settings;
    Ref builder = configure_builder(globals, self, log4j_file.get(), jar_paths.get(), gateway_before.get(),
                                    app_name, master, settings);
    DriverLaunch launch;
    if (!builder ||
        launch.prepare(globals, app_name.get(), master.get(), settings.get(), gateway_before.get()) < 0)
        return nullptr;
    Ref spark = start_session_quietly(globals, sys.get(), builder.get(), launch);
    if (!spark) return nullptr;

    if (with_session_lock(globals, [&] {
            Ref cache = load_cache(globals);
            return cache ? PyObject_SetItem(cache.get(), cache_key.get(), spark.get()) : -1;
        }) < 0) {
        launch.undo(spark.get());  // nobody would ever find or stop it
        return nullptr;
    }
    // After caching: a warning turned into an error must not lose the session.
    Ref warned = call_sibling<Sibling::warn_unapplied_settings>(jvm_functions[1].get(), spark.get(),
                                                                gateway_before.get(), settings.get());
    if (!warned || launch.offer_spare() < 0 || start_pending_build(globals, spark.get()) < 0) return nullptr;
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
