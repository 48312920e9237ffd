// The steps a session start is made of: launch settings and the captured start-up.
#pragma once

#include "refs.hpp"

namespace ruk {

// sessions.cpp
// Refuses, with RukRuntimeError, a strategy whose config or app_name a start
// would not take; changes nothing. 0 when they are fine.
int check_strategy_input(PyObject* globals, PyObject* self);

// launch_settings.cpp
// Adds the JVM flags to _JAVA_OPTIONS unless they are there already
// (launch_plan.add_java_flags).
int adjust_java_options(PyObject* globals);
// Writes the quiet log4j2 configuration where no other user can change it;
// returns its path, or None when there is no such place.
Ref write_log4j_file(PyObject* globals);
// Creates ~/.mur/jdbc_jars if needed and possible (never without a usable
// home); returns its path.
Ref prepare_jar_directory(PyObject* globals);
// After a start that succeeded: the archive build that start's `plan` asked
// for, if it launched a real driver JVM. Best effort: 0 unless an exception
// outside Exception is pending.
int start_pending_build(PyObject* globals, PyObject* spark, PyObject* plan);

// import_watch.cpp
// After a start whose JVM lacks Spark ML's functions while pyspark.ml is not
// imported: the first import of pyspark.ml or of a submodule registers them
// (session_extensions.on_ml_import), as does a pyspark.ml imported meanwhile.
int watch_ml_imports(PyObject* globals);

// jvm_stderr.cpp
// The launched JVM's stderr: a pipe whose read end one thread of ours reads
// for the JVM's whole life, writing to the process's fd 2.
struct JvmStderr;
// Makes the pipe and starts its thread: returns the write end (close-on-exec,
// above fd 2) and sets *stream, the start's hold on it; -1 when it cannot.
int open_jvm_stderr(JvmStderr** stream) noexcept;
// A spare JVM's output (its stdout or stderr read end, `fd`, which this
// takes) read as the pipe above would be, passing to `sink`. With `stream`,
// the start judges it as start-up output until it ends, as for the pipe;
// without, it passes as it comes. -1 when no thread can be had (`fd` closed).
int adopt_jvm_output(int fd, int sink, JvmStderr** stream) noexcept;
// The start is over and lets go of `stream` (null: no-op). Bytes still in the
// pipe are judged as start-up output (dropped instead, without
// `keep_unread`); later ones pass unchanged, or are dropped when the start
// `failed` and its JVM is being ended. Releases the GIL while it waits.
void end_jvm_stderr_start(JvmStderr* stream, bool failed, bool keep_unread) noexcept;

// driver_launch.cpp
// The driver JVM, when a start launches it itself (driver_launch.py): what
// that start must not leave behind when it fails.
class DriverLaunch {
public:
    DriverLaunch() = default;
    DriverLaunch(const DriverLaunch&) = delete;
    DriverLaunch& operator=(const DriverLaunch&) = delete;
    ~DriverLaunch();
    // Before the start: whether it launches the JVM itself, and with what,
    // as the start's plan (launch_plan.StartPlan) says. -1 with the error set.
    int prepare(PyObject* globals, PyObject* plan);
    // In the start window, before getOrCreate: the launch, if this start
    // owns it: the spare JVM of an equal launch when one answers, else its
    // own. -1 with the launch's error set.
    int launch();
    // The start succeeded: the JVM's stderr passes unchanged from now on.
    void started() noexcept;
    // After a start of `plan` that succeeded on a JVM it launched or claimed:
    // a spare for the next start of the same launch. Best effort: -1 only
    // with an exception outside Exception set.
    int offer_spare(PyObject* plan);
    // The start failed with its exception set: ends the JVM this start
    // launched and makes PySpark forget it, or else stops `session` (the new
    // session, or null) on the JVM that serves on; the exception is left set
    // unchanged. Runs once; later calls are no-ops.
    void undo(PyObject* session) noexcept;

private:
    // 1 with the claimed spare JVM's gateway in gateway_, 0 for a launch of
    // our own, -1 with an exception outside Exception set.
    int claim_spare();

    Ref launch_, end_launch_, claim_, offer_;
    Ref spare_inputs_;  // what the launch depends on, as claim told it (None: no spare)
    Ref app_name_, master_, settings_;
    Ref gateway_;  // what the launch returned
    JvmStderr* stream_ = nullptr;
    bool owned_ = false;
    bool undone_ = false;
};

// console_capture.cpp
// The start window: one session start at a time in the process, from the
// reuse check's stop of the active session through the storage of the new
// session. A start asked for from inside this thread's own start (a builder
// that asks for a session) runs inside the outer window. Held by one object
// on the starting thread's stack; released when it goes out of scope.
class StartWindow {
public:
    StartWindow() noexcept = default;
    StartWindow(const StartWindow&) = delete;
    StartWindow& operator=(const StartWindow&) = delete;
    ~StartWindow();
    // Without waiting: 1 when held now, 0 when another thread holds it, -1
    // with the error set. What the first start of the process sets up (the
    // fork hook) comes first. Safe while _SPARK_SESSION_LOCK is held.
    int try_enter() noexcept;
    // Waits as threading.Lock.acquire() does: Ctrl-C (a signal handler that
    // raises) ends the wait with the error set and nothing held. 0 or -1.
    // Never called while _SPARK_SESSION_LOCK is held.
    int enter() noexcept;
    bool held() const noexcept { return owner_ || nested_; }
    bool owner() const noexcept { return owner_; }  // the outermost start of the thread
    void leave() noexcept;

private:
    bool owner_ = false;
    bool nested_ = false;
};

// builder.getOrCreate() and spark.sparkContext.setLogLevel("ERROR") with
// sys.stderr captured, after `launch` has launched the JVM if it owns that;
// afterwards the captured lines that are not start-up noise go to the real
// stderr. Runs inside `window`. Returns the session; on failure `launch` has
// undone the start.
Ref start_session_quietly(PyObject* globals, PyObject* sys, PyObject* builder, DriverLaunch& launch,
                          const StartWindow& window);

}  // namespace ruk
