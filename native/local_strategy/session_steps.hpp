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
// After a start that succeeded: the archive build that start asked for, if
// it launched a real driver JVM. Best effort: 0 unless an exception outside
// Exception is pending.
int start_pending_build(PyObject* globals, PyObject* spark);

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
