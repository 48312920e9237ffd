// The steps a session start is made of: launch settings and the captured start-up.
#pragma once

#include "refs.hpp"

namespace ruk {

// sessions.cpp
// Refuses, with RukRuntimeError, a strategy whose config or app_name a start
// would not take; changes nothing. 0 when they are fine.
int check_strategy_input(PyObject* globals, PyObject* self);

// launch_settings.cpp
// Adds the JVM flags to _JAVA_OPTIONS unless they are there already.
int adjust_java_options(PyObject* globals);
// Writes the quiet log4j2 configuration where no other user can change it;
// returns its path, or None when there is no such place.
Ref write_log4j_file(PyObject* globals);
// Creates ~/.mur/jdbc_jars if needed and possible (never without a usable
// home); returns its path.
Ref prepare_jar_directory(PyObject* globals);
// The values of the fast-start defaults for this start, in the order of
// state().launch.fast_default_keys; `config` is the strategy's own.
Ref fast_config_values(PyObject* globals, PyObject* log4j_file, PyObject* jar_paths, PyObject* config);
// Where the driver's quiet JVM options (the default of
// spark.driver.extraJavaOptions) go for a configuration.
enum class QuietOptions {
    as_extra_default,    // the user sets no extraJavaOptions: the default applies
    as_default_options,  // the user's extraJavaOptions stand; ours go in defaultJavaOptions
    not_at_all,          // the user sets defaultJavaOptions too, or names their own logging file
};
int route_quiet_options(PyObject* config, QuietOptions& route);
// Appends the options that map a class-data-sharing archive to the driver
// JVM option default in `values` (a tuple fast_config_values just made), when
// those options reach the driver; `jvm_running`: whether the process's JVM
// runs already. Best effort: 0 unless an exception outside Exception is pending.
int add_class_data_sharing(PyObject* globals, PyObject* config, PyObject* values, PyObject* jar_paths,
                           bool jvm_running, QuietOptions route);
// After a start that succeeded: the archive build that start asked for, if
// it launched a real driver JVM. Best effort, as add_class_data_sharing.
int start_pending_build(PyObject* globals, PyObject* spark);
// builder.config("spark.driver.defaultJavaOptions", <the quiet options in `values`>).
Ref configure_quiet_default_options(PyObject* builder, PyObject* values);

// start_cleanup.cpp
// What a start that fails or is interrupted must not leave behind: the JVM
// it launched (with its process tree) and PySpark's state that points at it.
class StartCleanup {
public:
    // In the start window, just before the start: what is launched from now on is the start's.
    void begin() noexcept;
    // The start failed with its exception set: ends the JVM it launched,
    // with its process tree, or else stops `session` (the new session, or
    // null) on the JVM that serves on; the exception is left set unchanged.
    // Runs once after begin(); a no-op otherwise.
    void undo(PyObject* session) noexcept;

private:
    unsigned long long since_ = 0;  // clock ticks after boot when the start began
    bool armed_ = false;
};

// console_capture.cpp
// builder.getOrCreate() and spark.sparkContext.setLogLevel("ERROR") with
// sys.stderr captured; afterwards the captured lines that are not start-up
// noise go to the real stderr. Returns the session; on failure `cleanup`
// has undone the start (while the JVM's fd 2 still runs through the filter).
Ref start_session_quietly(PyObject* globals, PyObject* sys, PyObject* builder, StartCleanup& cleanup);
// From now until the open start window closes, what other processes write
// to fd 2 is dropped. No-op without a relay.
void drop_other_processes_output() noexcept;

}  // namespace ruk
