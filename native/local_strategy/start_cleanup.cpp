// A start that does not finish: the JVM it launched is ended with its process tree, PySpark's gateway state put back.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ruk {
namespace {

// PySpark puts this variable in the environment of the JVM it launches, and
// nowhere else: what tells its launch apart from other children of ours.
constexpr char launch_marker[] = "_PYSPARK_DRIVER_CONN_INFO_PATH=";
// A JVM whose main thread has ended may never act on SIGTERM; SIGKILL follows.
constexpr long terminate_wait_ms = 3000;
constexpr long kill_wait_ms = 5000;
// A child forked for the launch but not exec'd yet shows our environment.
constexpr long exec_wait_ms = 1000;
constexpr long poll_interval_ms = 10;
constexpr int max_tree = 256;

struct Process {
    pid_t pid;
    unsigned long long start;  // clock ticks after boot: a reused pid has another one
};

struct ProcessSet {
    Process items[max_tree];
    int count = 0;

    bool has(pid_t pid) const noexcept {
        for (int i = 0; i < count; ++i)
            if (items[i].pid == pid) return true;
        return false;
    }
    void add(Process p) noexcept {
        if (count < max_tree && !has(p.pid)) items[count++] = p;
    }
};

// The whole of a small /proc file, NUL-terminated; its size, or -1.
ssize_t read_proc_file(const char* path, char* buffer, std::size_t size) noexcept {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t total = 0;
    while (total + 1 < size) {
        ssize_t got = read(fd, buffer + total, size - 1 - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
    }
    close(fd);
    buffer[total] = '\0';
    return static_cast<ssize_t>(total);
}

// State, parent and start time of a process; false when it is gone.
bool read_stat(pid_t pid, char* state, pid_t* parent, unsigned long long* start) noexcept {
    char path[64], text[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (read_proc_file(path, text, sizeof text) <= 0) return false;
    const char* after_name = std::strrchr(text, ')');  // the name itself may hold anything
    if (!after_name) return false;
    int ppid = 0;
    int fields = std::sscanf(after_name + 1,
                             " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                             state, &ppid, start);
    *parent = ppid;
    return fields == 3;
}

bool alive(const Process& p) noexcept {
    char state;
    pid_t parent;
    unsigned long long start;
    return read_stat(p.pid, &state, &parent, &start) && start == p.start && state != 'Z' && state != 'X';
}

unsigned long long ticks_now() noexcept {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const long hz = sysconf(_SC_CLK_TCK);
    return static_cast<unsigned long long>(now.tv_sec) * hz +
           static_cast<unsigned long long>(now.tv_nsec) / (1000000000L / hz);
}

void sleep_ms(long ms) noexcept {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
    }
}

// Every process on the machine that /proc shows: pid, parent, start time.
// Calls `visit` for each; stops early when it returns false.
template <class Visit>
void each_process(Visit&& visit) noexcept {
    DIR* proc = opendir("/proc");
    if (!proc) return;
    while (dirent* entry = readdir(proc)) {
        char* end;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        char state;
        pid_t parent;
        unsigned long long start;
        if (!read_stat(static_cast<pid_t>(pid), &state, &parent, &start)) continue;
        if (!visit(static_cast<pid_t>(pid), parent, start, state)) break;
    }
    closedir(proc);
}

// Whether a fork of ours has not exec'd yet: it shows our arguments until
// it execs, and none at all halfway through.
bool before_exec(pid_t pid) noexcept {
    constexpr std::size_t cmdline_size = 1 << 14;
    char* own = static_cast<char*>(std::malloc(2 * cmdline_size));
    if (!own) return false;
    char* theirs = own + cmdline_size;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    ssize_t own_size = read_proc_file("/proc/self/cmdline", own, cmdline_size);
    ssize_t their_size = read_proc_file(path, theirs, cmdline_size);
    bool before = their_size == 0 ||
                  (own_size > 0 && own_size == their_size && std::memcmp(own, theirs, own_size) == 0);
    std::free(own);
    return before;
}

bool environment_holds_marker(pid_t pid) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    for (std::size_t size = 1 << 16;; size *= 4) {
        char* text = static_cast<char*>(std::malloc(size));
        if (!text) return false;
        ssize_t got = read_proc_file(path, text, size);
        if (got >= 0 && static_cast<std::size_t>(got) + 1 >= size && size < (8u << 20)) {
            std::free(text);  // a large environment: read it whole
            continue;
        }
        bool found = false;
        for (ssize_t at = 0; got > 0 && at < got && !found; at += static_cast<ssize_t>(std::strlen(text + at)) + 1)
            found = std::strncmp(text + at, launch_marker, sizeof launch_marker - 1) == 0;
        std::free(text);
        return found;
    }
}

// 1 when the process's environment holds the launch marker, 0 when not, -1
// while that cannot be told yet. The command line is read first: a process
// that was still before its exec then has its final environment read or
// is asked again.
int carries_launch_marker(pid_t pid) noexcept {
    bool was_before_exec = before_exec(pid);
    if (environment_holds_marker(pid)) return 1;
    return was_before_exec ? -1 : 0;
}

// Children of ours, born since `since`, that PySpark launched as its JVM.
void find_launched(unsigned long long since, ProcessSet& launched) noexcept {
    const pid_t me = getpid();
    long waited = 0;
    for (;;) {
        bool undecided = false;
        each_process([&](pid_t pid, pid_t parent, unsigned long long start, char state) {
            if (parent != me || start < since || state == 'Z' || launched.has(pid)) return true;
            int marked = carries_launch_marker(pid);
            if (marked > 0) launched.add({pid, start});
            undecided |= marked < 0;
            return true;
        });
        if (!undecided || waited >= exec_wait_ms) return;
        sleep_ms(poll_interval_ms);
        waited += poll_interval_ms;
    }
}

// `tree` grows by every live descendant of its members.
void add_descendants(ProcessSet& tree) noexcept {
    for (int before = -1; before != tree.count;) {
        before = tree.count;
        each_process([&](pid_t pid, pid_t parent, unsigned long long start, char state) {
            if (state != 'Z' && tree.has(parent)) tree.add({pid, start});
            return true;
        });
    }
}

// Reaps the members that are our own children and have ended; true when
// none of the members is still running.
bool all_ended(const ProcessSet& tree) noexcept {
    bool ended = true;
    for (int i = 0; i < tree.count; ++i) {
        if (alive(tree.items[i])) {
            ended = false;
            continue;
        }
        waitpid(tree.items[i].pid, nullptr, WNOHANG);  // ECHILD for anyone else's
    }
    return ended;
}

void signal_tree(const ProcessSet& tree, int signal) noexcept {
    for (int i = 0; i < tree.count; ++i)
        if (alive(tree.items[i])) kill(tree.items[i].pid, signal);
}

bool wait_for_end(const ProcessSet& tree, long limit_ms) noexcept {
    for (long waited = 0;; waited += poll_interval_ms) {
        if (all_ended(tree)) return true;
        if (waited >= limit_ms) return false;
        sleep_ms(poll_interval_ms);
    }
}

// SIGTERM first, so Spark's shutdown hooks remove its temporary directories;
// SIGKILL for whatever still runs after a short wait. Runs without the GIL.
void end_process_tree(ProcessSet& tree) noexcept {
    add_descendants(tree);
    signal_tree(tree, SIGTERM);
    if (wait_for_end(tree, terminate_wait_ms)) return;
    add_descendants(tree);  // anything forked meanwhile
    signal_tree(tree, SIGKILL);
    wait_for_end(tree, kill_wait_ms);
}

// A class of a PySpark module that is loaded already, else empty: a start
// that never imported it changed nothing of it. No exception is left set.
Ref loaded_class(const char* const* module_names, const char* class_name) noexcept {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    for (const char* const* name = module_names; *name; ++name) {
        PyObject* module = PyDict_GetItemString(modules, *name);  // borrowed, no exception
        if (!module) continue;
        Ref found = Ref::steal(PyObject_GetAttrString(module, class_name));
        if (found) return found;
        PyErr_Clear();
    }
    return {};
}

constexpr const char* context_modules[] = {"pyspark.core.context", "pyspark.context", nullptr};
constexpr const char* session_modules[] = {"pyspark.sql.session", nullptr};

// Best effort: an attribute read or set whose failure is dropped.
Ref attribute(PyObject* obj, const char* name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!value) PyErr_Clear();
    return value;
}
void set_attribute(PyObject* obj, const char* name, PyObject* value) noexcept {
    if (PyObject_SetAttrString(obj, name, value) < 0) PyErr_Clear();
}
void call_dropping_errors(PyObject* obj, const char* method) noexcept {
    Ref result = Ref::steal(PyObject_CallMethod(obj, method, nullptr));
    if (!result) PyErr_Clear();
}

// The pid of the process PySpark took as its gateway's JVM, or 0.
pid_t gateway_pid(PyObject* gateway) noexcept {
    Ref process = attribute(gateway, "proc");  // None when PySpark attached to a JVM started elsewhere
    Ref pid = process && process.get() != Py_None ? attribute(process.get(), "pid") : Ref{};
    long value = pid && PyLong_Check(pid.get()) ? PyLong_AsLong(pid.get()) : 0;
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    return value > 0 ? static_cast<pid_t>(value) : 0;
}

// The JVM is gone: when PySpark had taken it as its gateway, it is told so
// without asking the JVM anything, so the next start launches a new one. The
// context's own stop() still ends its accumulator server, once it has no JVM
// side left to stop.
void forget_ended_jvm(const ProcessSet& ended) noexcept {
    Ref context_class = loaded_class(context_modules, "SparkContext");
    Ref gateway = context_class ? attribute(context_class.get(), "_gateway") : Ref{};
    if (!gateway || gateway.get() == Py_None || !ended.has(gateway_pid(gateway.get()))) return;
    Ref context = attribute(context_class.get(), "_active_spark_context");
    if (context && context.get() != Py_None) {
        set_attribute(context.get(), "_jsc", Py_None);
        call_dropping_errors(context.get(), "stop");
    }
    if (Ref session_class = loaded_class(session_modules, "SparkSession")) {
        set_attribute(session_class.get(), "_instantiatedSession", Py_None);
        set_attribute(session_class.get(), "_activeSession", Py_None);
    }
    call_dropping_errors(gateway.get(), "shutdown");  // ends py4j's own threads; the JVM is gone
    set_attribute(context_class.get(), "_gateway", Py_None);
    set_attribute(context_class.get(), "_jvm", Py_None);
}

}  // namespace

void StartCleanup::begin() noexcept {
    since_ = ticks_now();  // both round down to a tick: a later child never shows an earlier one
    armed_ = true;
}

void StartCleanup::undo(PyObject* session) noexcept {
    if (!armed_) return;
    armed_ = false;
    PendingError start_error;  // the start's own exception, put back unchanged
    ProcessSet launched;
    Py_BEGIN_ALLOW_THREADS
    find_launched(since_, launched);
    Py_END_ALLOW_THREADS
    if (launched.count > 0) {
        drop_other_processes_output();  // what the ending JVM prints is no news to the user
        Py_BEGIN_ALLOW_THREADS
        end_process_tree(launched);
        Py_END_ALLOW_THREADS
        forget_ended_jvm(launched);
    } else if (session) {
        // The JVM ran before this start and serves on: only the new session goes.
        call_dropping_errors(session, "stop");
    }
    PyErr_Clear();
    start_error.restore();
}

}  // namespace ruk
