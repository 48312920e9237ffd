// Start-up console capture: Spark's start runs with stderr captured, then the noise is dropped.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ruk {
namespace {

// --- the relay: the JVM's fd 2 during a start ----------------------------------------
//
// The JVMs that getOrCreate launches inherit fd 2 and print their start-up
// notices there, out of reach of sys.stderr. For the length of a start fd 2 is
// one end of a socket pair; a native thread reads the other end and writes
// everything to a copy of the real stderr, except the lines that other
// processes wrote during the start and that carry a noise marker. Writes of
// this process itself (other threads' logging, tracebacks) pass unfiltered:
// the socket tells each write's sender. What other processes write during the
// start is held until it ends, as the sys.stderr capture replays afterwards:
// when a failed start ends its JVM, what that JVM printed on the way down (a
// trace of the connection file PySpark removed when Ctrl-C came) is dropped. The thread lives as long as anything
// holds the socket (the JVM, for the life of the process) and never takes the GIL.

constexpr std::size_t relay_line_limit = 4096;  // longer lines are never noise
constexpr std::size_t relay_hold_limit = 65536;  // more than a start's non-noise output; past it, lines pass
constexpr int relay_drain_timeout_ms = 1000;      // bound on the close handshake
constexpr char relay_idle_request = 'i';  // the window's close request when nothing is left to drain
constexpr char relay_drain_request = 'd';
constexpr PY_TIMEOUT_T capture_wait_slice_us = 50000;  // Ctrl-C reaches a waiting start this fast

}  // namespace

// Shared by the relay thread and, until the start ends, its window; the last
// of the two to let go frees it and closes the source.
struct StderrRelay {
    int source;     // what fd 2 writes arrive on
    int control;    // close request from the window, acknowledged on the same socket
    int sink;       // a copy of the real stderr
    pid_t own_pid;  // writes from this process pass as they come
    dev_t window_dev = 0;  // the socket fd 2 was pointed at: put back only while it is still there
    ino_t window_ino = 0;
    bool filtering = true;  // the start window is open
    std::atomic<bool> dropping_others{false};  // a failed start's JVM is being ended
    // Where the current line from another process stands.
    enum class Line { start, buffering, dropping, passing } line = Line::start;
    std::size_t pending_size = 0;
    std::size_t held_size = 0;  // other processes' lines of the start, not yet passed on
    std::atomic<bool> holding{false};  // held_size > 0, for the window's close: then it waits
    std::atomic<int> busy{0};     // 1 from before a read until its bytes are passed on
    std::atomic<int> holders{2};  // the thread and the window
    char pending[relay_line_limit];
    char held[relay_hold_limit];
    char chunk[8192];
};

namespace {

using Relay = StderrRelay;

void close_quietly(int fd) noexcept;

void relay_release(Relay* r) noexcept {
    if (r->holders.fetch_sub(1) != 1) return;
    close_quietly(r->source);
    delete r;
}

void close_quietly(int fd) noexcept {
    if (fd >= 0) close(fd);  // no retry on EINTR: Linux has closed the fd already
}

// Whole buffer to fd; gives the bytes up only when the fd cannot take them.
void write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done > 0) {
            data += done;
            size -= static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // stderr is gone (EPIPE, EBADF...): keep draining, drop the text
        }
    }
}

void release_held(Relay& r) noexcept {
    write_all(r.sink, r.held, r.held_size);
    r.held_size = 0;
    r.holding.store(false);
}

// The start's end: its held lines pass, unless the start failed and ended
// the JVM that wrote them.
void settle_held(Relay& r) noexcept {
    if (r.dropping_others.load()) {
        r.held_size = 0;
        r.holding.store(false);
    } else
        release_held(r);
}

// Another process's text that passed the filter: held while the start runs.
void pass_child_text(Relay& r, const char* data, std::size_t size) noexcept {
    if (r.filtering) {
        if (r.held_size + size <= sizeof r.held) {
            memcpy(r.held + r.held_size, data, size);
            r.held_size += size;
            r.holding.store(true);  // before busy clears: the window then waits for them
            return;
        }
        release_held(r);
    }
    write_all(r.sink, data, size);
}

bool carries_noise_marker(const char* text, std::size_t size) noexcept {
    for (const char* marker : noise_marker_texts)
        if (memmem(text, size, marker, strlen(marker))) return true;
    return false;
}

// Bytes another process wrote: line by line while a line that began during
// the start is open, straight through otherwise.
void relay_child_bytes(Relay& r, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const char* newline = static_cast<const char*>(memchr(data, '\n', size));
        std::size_t through_line = newline ? static_cast<std::size_t>(newline - data) + 1 : size;
        switch (r.line) {
        case Relay::Line::start:
            if (!r.filtering) {
                pass_child_text(r, data, size);
                return;
            }
            r.line = Relay::Line::buffering;
            break;
        case Relay::Line::buffering:
            if (r.pending_size + through_line > relay_line_limit) {
                // Too long to be a notice: decide on what is there and stream the rest.
                if (carries_noise_marker(r.pending, r.pending_size)) {
                    r.line = Relay::Line::dropping;
                } else {
                    pass_child_text(r, r.pending, r.pending_size);
                    r.line = Relay::Line::passing;
                }
                r.pending_size = 0;
                break;
            }
            memcpy(r.pending + r.pending_size, data, through_line);
            r.pending_size += through_line;
            data += through_line;
            size -= through_line;
            if (newline) {
                if (!carries_noise_marker(r.pending, r.pending_size))
                    pass_child_text(r, r.pending, r.pending_size);
                r.pending_size = 0;
                r.line = Relay::Line::start;
            }
            break;
        case Relay::Line::dropping:
        case Relay::Line::passing:
            if (r.line == Relay::Line::passing) pass_child_text(r, data, through_line);
            data += through_line;
            size -= through_line;
            if (newline) r.line = Relay::Line::start;
            break;
        }
    }
}

// One read from the socket into r.chunk; *sender is the writing process, 0 if unknown.
ssize_t relay_receive(Relay& r, int flags, pid_t* sender) noexcept {
    iovec iov{r.chunk, sizeof r.chunk};
    union {
        char buffer[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
        cmsghdr align;
    } control;
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    ssize_t got;
    do {
        got = recvmsg(r.source, &message, flags | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    *sender = 0;
    if (got < 0) return got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
#ifdef SCM_CREDENTIALS
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred credentials;
            memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            *sender = credentials.pid;
        }
#endif
        if (c->cmsg_type == SCM_RIGHTS) {  // nobody should send fds to stderr
            std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                close_quietly(fd);
            }
        }
    }
    return got;
}

// One read, passed on. Returns 0 at the end of the stream (every writer has
// closed it), -1 when there was nothing to read, 1 otherwise.
int relay_take(Relay& r) noexcept {
    r.busy.store(1);
    pid_t sender;
    ssize_t got = relay_receive(r, MSG_DONTWAIT, &sender);
    if (got > 0) {
        std::size_t size = static_cast<std::size_t>(got);
        if (sender == r.own_pid)
            write_all(r.sink, r.chunk, size);
        else if (!r.dropping_others.load())
            relay_child_bytes(r, r.chunk, size);
    }
    r.busy.store(0);
    if (got == 0) return 0;
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOMEM || errno == ENOBUFS ? -1 : 0;
    return 1;
}

void* relay_main(void* arg) noexcept {
    Relay* r = static_cast<Relay*>(arg);
    bool open = true;
    for (;;) {
        pollfd watched[2] = {{r->source, POLLIN, 0}, {r->control, POLLIN, 0}};
        if (poll(watched, r->control >= 0 ? 2 : 1, -1) < 0) continue;  // EINTR, or ENOMEM for a moment
        if (r->control >= 0 && watched[1].revents) {
            // The start is over. Unless the window found nothing left to
            // pass on, what was written before the request is in the socket
            // now and is judged as start-up output; anything later is not.
            char request = 0;
            if (read(r->control, &request, 1) != 1 || request != relay_idle_request) {
                int taken;
                while ((taken = relay_take(*r)) > 0) {
                }
                open = taken < 0;  // drained, or else the end of the stream
            }
            settle_held(*r);
            r->filtering = false;
            r->dropping_others.store(false);  // what outlives a failed start is no longer its JVM
            (void)!send(r->control, "", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close_quietly(r->control);
            r->control = -1;
            if (!open) break;
            continue;
        }
        if (watched[0].revents && relay_take(*r) == 0) break;
    }
    if (r->filtering) settle_held(*r);
    // A last line without its line break.
    if (r->line == Relay::Line::buffering && !r->dropping_others.load() &&
        !carries_noise_marker(r->pending, r->pending_size))
        write_all(r->sink, r->pending, r->pending_size);
    close_quietly(r->control);
    close_quietly(r->sink);  // the real stderr sees the end of what came through here
    relay_release(r);
    return nullptr;
}

int dup2_retrying(int from, int to) noexcept {
    int result;
    do {
        result = dup2(from, to);
    } while (result < 0 && (errno == EINTR || errno == EBUSY));
    return result;
}

// A private fd never takes the place of a closed stdin, stdout or stderr.
int above_standard_fds(int fd) noexcept {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close_quietly(fd);
    return moved;
}

// A socket pair of private fds; -1 and both fds -1 on failure.
int private_socket_pair(int fds[2]) noexcept {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) {
        fds[0] = fds[1] = -1;
        return -1;
    }
    fds[0] = above_standard_fds(fds[0]);
    fds[1] = above_standard_fds(fds[1]);
    if (fds[0] >= 0 && fds[1] >= 0) return 0;
    close_quietly(fds[0]);
    close_quietly(fds[1]);
    fds[0] = fds[1] = -1;
    return -1;
}

// Points fd 2 at a new relay. Returns false, with nothing changed, when any
// part cannot be set up: the start then runs with fd 2 as it is.
bool redirect_stderr_fd() noexcept {
    ModuleState& st = state();
    int data[2], control[2];
    if (private_socket_pair(data) < 0) return false;
    shutdown(data[0], SHUT_WR);  // one way only, from fd 2 to the relay
#ifdef SO_PASSCRED
    int on = 1;
    setsockopt(data[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);  // without it, every line is judged
#endif
    int saved = -1, sink = -1;
    Relay* relay = nullptr;
    bool started = false;
    if (private_socket_pair(control) < 0) {
        // nothing more to set up
    } else if ((saved = fcntl(2, F_DUPFD_CLOEXEC, 3)) >= 0 && (sink = fcntl(2, F_DUPFD_CLOEXEC, 3)) >= 0 &&
               (relay = new (std::nothrow) Relay())) {
        relay->source = data[0];
        relay->control = control[1];
        relay->sink = sink;
        relay->own_pid = getpid();
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) == 0) {
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            pthread_attr_setstacksize(&attributes, 256 * 1024);
            // No signal is ever handled on the relay thread; SIGPIPE from a
            // closed stderr becomes EPIPE there.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            pthread_t thread;
            started = pthread_create(&thread, &attributes, relay_main, relay) == 0;
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            pthread_attr_destroy(&attributes);
        }
    }
    if (!started) {
        delete relay;
        close_quietly(data[0]);
        close_quietly(data[1]);
        close_quietly(control[0]);
        close_quietly(control[1]);
        close_quietly(saved);
        close_quietly(sink);
        return false;
    }
    // The relay thread owns data[0], control[1] and sink from here on.
    if (dup2_retrying(data[1], 2) < 0) {
        close_quietly(data[1]);
        close_quietly(control[0]);  // the thread sees the request, drains and ends
        close_quietly(saved);
        relay_release(relay);
        return false;
    }
    struct stat installed;
    if (fstat(2, &installed) == 0) {
        relay->window_dev = installed.st_dev;
        relay->window_ino = installed.st_ino;
    }
    close_quietly(data[1]);
    st.capture_saved_fd = saved;
    st.capture_control_fd = control[0];
    st.capture_relay = relay;
    return true;
}

// Puts the real stderr back on fd 2 and, in the process that runs the relay,
// has it pass on what the start wrote before going on (what it holds
// included), unless it has nothing left (the common case, which costs no wait). The GIL stays held, so no
// thread of this process writes to the real fd 2 ahead of older relayed text.
void restore_stderr_fd() noexcept {
    ModuleState& st = state();
    if (st.capture_saved_fd < 0) return;
    // Another thread may have pointed fd 2 elsewhere meanwhile (a log file):
    // its choice stands, and its dup2 has already closed our end there.
    struct stat current;
    Relay* owner = st.capture_relay;
    if (owner && fstat(2, &current) == 0 && current.st_dev == owner->window_dev &&
        current.st_ino == owner->window_ino)
        dup2_retrying(st.capture_saved_fd, 2);
    close_quietly(st.capture_saved_fd);
    st.capture_saved_fd = -1;
    int control = st.capture_control_fd;
    Relay* relay = st.capture_relay;
    st.capture_control_fd = -1;
    st.capture_relay = nullptr;
    if (relay && relay->own_pid == getpid()) {  // in a forked child the relay is the parent's
        // Unread bytes first: when there are none, a read that took the
        // last ones has set busy before, and clears it only once they are out.
        int unread = 0;
        bool idle = ioctl(relay->source, FIONREAD, &unread) == 0 && unread == 0 && relay->busy.load() == 0 &&
                    !relay->holding.load();
        const char request = idle ? relay_idle_request : relay_drain_request;
        if (send(control, &request, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1 && !idle) {
            pollfd answer{control, POLLIN, 0};
            while (poll(&answer, 1, relay_drain_timeout_ms) < 0 && errno == EINTR) {
            }
        }
        relay_release(relay);
    }
    close_quietly(control);
}

// --- the stream installed as sys.stderr ----------------------------------------------

// Writes of the starting thread go to the capture buffer, everybody else's
// to the stream that was there before: every attribute is looked up on one
// of the two, by the calling thread.
struct StderrProxy {
    PyObject_HEAD
    PyObject* original;  // strong reference
    PyObject* capture;   // strong reference; null once the window has closed
    unsigned long owner; // the thread whose writes are captured
};

StderrProxy* as_proxy(PyObject* self) noexcept { return reinterpret_cast<StderrProxy*>(self); }

// New reference to the object the calling thread talks to.
PyObject* proxy_target(PyObject* self) noexcept {
    StderrProxy* p = as_proxy(self);
    PyObject* target = p->capture && PyThread_get_thread_ident() == p->owner ? p->capture : p->original;
    return Py_XNewRef(target);
}

PyObject* proxy_getattro(PyObject* self, PyObject* name) noexcept {
    Ref target = Ref::steal(proxy_target(self));
    if (!target) return PyObject_GenericGetAttr(self, name);
    return PyObject_GetAttr(target.get(), name);  // may run Python code: target is held
}

int proxy_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    Ref target = Ref::steal(proxy_target(self));
    if (!target) return PyObject_GenericSetAttr(self, name, value);
    return PyObject_SetAttr(target.get(), name, value);
}

int proxy_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_proxy(self)->original);
    Py_VISIT(as_proxy(self)->capture);
    return 0;
}

int proxy_clear(PyObject* self) noexcept {
    Py_CLEAR(as_proxy(self)->original);
    Py_CLEAR(as_proxy(self)->capture);
    return 0;
}

void proxy_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    proxy_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>("sys.stderr while a Spark session starts: the starting thread's "
                                  "writes are captured, other threads' pass through.")},
    {Py_tp_getattro, reinterpret_cast<void*>(proxy_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(proxy_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(proxy_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(proxy_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(proxy_dealloc)},
    {0, nullptr},
};

PyType_Spec proxy_spec = {
    "ruk.compute.strategies.local.StartupStderr",
    sizeof(StderrProxy),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    proxy_slots,
};

Ref new_proxy(PyObject* original, PyObject* capture) noexcept {
    PyTypeObject* type = state().capture_proxy_type;
    StderrProxy* p = PyObject_GC_New(StderrProxy, type);
    if (!p) return {};
    p->original = Py_NewRef(original);
    p->capture = Py_NewRef(capture);
    p->owner = PyThread_get_thread_ident();
    PyObject_GC_Track(p);
    return Ref::steal(reinterpret_cast<PyObject*>(p));
}

// --- fork --------------------------------------------------------------------------

// In a child forked while a start was under way on another thread: that
// thread is gone, so its window is undone here. A child of the starting
// thread itself (the JVM launch) keeps everything: it is part of the start.
PyObject* capture_after_fork_in_child(PyObject*, PyObject*) noexcept {
    ModuleState& st = state();
    if (st.capture_owner && st.capture_owner == PyThread_get_thread_ident()) Py_RETURN_NONE;
    // Whoever held the lock is not in this process; the old lock is left as it is.
    PyThread_type_lock fresh = PyThread_allocate_lock();
    if (!fresh) return PyErr_NoMemory();
    st.capture_lock = fresh;
    st.capture_owner = 0;
    restore_stderr_fd();  // fd 2 and the window's fds only: the relay thread is the parent's
    if (PyObject* proxy = st.capture_proxy) {
        st.capture_proxy = nullptr;
        Py_CLEAR(as_proxy(proxy)->capture);
        PyObject* original = as_proxy(proxy)->original;
        int restored = original ? PySys_SetObject("stderr", original) : 0;
        Py_DECREF(proxy);
        if (restored < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_after_fork_in_child", capture_after_fork_in_child, METH_NOARGS, nullptr};

// What the first capture of the process sets up: importing the module has
// no side effect.
int prepare_first_capture() noexcept {
    ModuleState& st = state();
    if (st.capture_at_fork_registered) return 0;
    if (!st.capture_proxy_type) {
        PyObject* type = PyType_FromSpec(&proxy_spec);
        if (!type) return -1;
        st.capture_proxy_type = reinterpret_cast<PyTypeObject*>(type);
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref register_at_fork = os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref{};
    Ref hook = register_at_fork ? Ref::steal(PyCFunction_New(&after_fork_def, nullptr)) : Ref{};
    Ref kwnames = hook ? Ref::steal(Py_BuildValue("(s)", "after_in_child")) : Ref{};
    if (!kwnames) return -1;
    PyObject* argv[] = {nullptr, hook.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(register_at_fork.get(), argv + 1,
                                              PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!done) return -1;
    st.capture_at_fork_registered = true;
    return 0;
}

// --- the window ----------------------------------------------------------------------

// Serialises capture windows: two overlapping starts would otherwise each
// restore the stderr they saw, and the later restore could leave the other
// call's buffer installed for good. A nested start on the owning thread
// (a builder that itself asks for a session) runs inside the outer window.
class CaptureWindow {
public:
    CaptureWindow() noexcept = default;
    CaptureWindow(const CaptureWindow&) = delete;
    CaptureWindow& operator=(const CaptureWindow&) = delete;
    // Only reached without leave() when the thread is torn down mid-start:
    // touches no Python object.
    ~CaptureWindow() {
        if (!owner_) return;
        restore_stderr_fd();
        state().capture_owner = 0;
        PyThread_release_lock(state().capture_lock);
    }

    // Waits for the window like threading.Lock.acquire(): Ctrl-C (a signal
    // handler that raises) ends the wait with the error set and nothing held.
    int enter() noexcept {
        ModuleState& st = state();
        const unsigned long me = PyThread_get_thread_ident();
        if (st.capture_owner == me) return 0;
        if (!PyThread_acquire_lock(st.capture_lock, NOWAIT_LOCK)) {
            for (;;) {
                // Signal handlers run here, with the GIL. The wait is sliced
                // as well: a signal that lands after this check but before the
                // wait begins would not interrupt it.
                if (Py_MakePendingCalls() < 0) return -1;
                PyLockStatus status;
                PyThread_type_lock lock = st.capture_lock;
                Py_BEGIN_ALLOW_THREADS
                status = PyThread_acquire_lock_timed(lock, capture_wait_slice_us, 1);
                Py_END_ALLOW_THREADS
                if (status == PY_LOCK_ACQUIRED) break;
            }
        }
        st.capture_owner = me;
        owner_ = true;
        return 0;
    }

    bool owner() const noexcept { return owner_; }

    void leave() noexcept {
        if (!owner_) return;
        owner_ = false;
        ModuleState& st = state();
        st.capture_owner = 0;
        PyThread_release_lock(st.capture_lock);
    }

private:
    bool owner_ = false;
};

// The action: getOrCreate, then setLogLevel("ERROR") on the new context.
// A failure (Ctrl-C included) is undone here, inside the window.
Ref start_session(PyObject* builder, StartCleanup& cleanup) {
    ModuleState& st = state();
    Ref spark = call_method(builder, st.s_getOrCreate);
    if (!spark) {
        cleanup.undo(nullptr);
        return {};
    }
    Ref context = getattr(spark.get(), st.s_sparkContext);
    Ref result = context ? call_method(context.get(), st.s_setLogLevel, st.s_error_level) : Ref{};
    if (!result) {
        cleanup.undo(spark.get());
        return {};
    }
    return spark;
}

// Prints every captured line that is not empty and carries no noise marker.
int replay_meaningful_lines(PyObject* globals, PyObject* sys, PyObject* captured) {
    ModuleState& st = state();
    Ref pieces = call_method(captured, st.s_split, st.s_newline);
    Ref iterator = pieces ? Ref::steal(PyObject_GetIter(pieces.get())) : Ref{};
    if (!iterator) return -1;
    while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref line = call_method(piece.get(), st.s_strip);
        if (!line) return -1;
        int empty = PyObject_Not(line.get());
        if (empty < 0) return -1;
        if (empty) continue;
        bool noise = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st.noise_markers) && !noise; ++i) {
            int found = PySequence_Contains(line.get(), PyTuple_GET_ITEM(st.noise_markers, i));
            if (found < 0) return -1;
            noise = found;
        }
        if (noise) continue;
        Ref print = load_global(globals, st.s_print);
        Ref stderr_now = print ? getattr(sys, st.s_stderr_) : Ref{};
        if (!stderr_now) return -1;
        PyObject* argv[] = {line.get(), stderr_now.get()};
        Ref printed = Ref::steal(PyObject_Vectorcall(print.get(), argv, 1, st.print_kwnames));
        if (!printed) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The owning window is over: the state that lets a forked child undo it goes.
void forget_open_window() noexcept {
    ModuleState& st = state();
    Py_CLEAR(st.capture_proxy);
}

}  // namespace

void drop_other_processes_output() noexcept {
    if (StderrRelay* relay = state().capture_relay) relay->dropping_others.store(true);
}

Ref start_session_quietly(PyObject* globals, PyObject* sys, PyObject* builder, StartCleanup& cleanup) {
    ModuleState& st = state();
    Ref io = import_module(globals, st.s_io);
    if (!io) return {};

    CaptureWindow window;
    if (window.enter() < 0) return {};
    // Inside the window, so two first starts cannot both set it up.
    if (prepare_first_capture() < 0) {
        window.leave();
        return {};
    }
    Ref original_stderr = getattr(sys, st.s_stderr_);
    Ref buffer = original_stderr ? call_method(io.get(), st.s_StringIO) : Ref{};
    Ref proxy = buffer ? new_proxy(original_stderr.get(), buffer.get()) : Ref{};
    if (!proxy || PyObject_SetAttr(sys, st.s_stderr_, proxy.get()) < 0) {
        window.leave();
        return {};
    }
    if (window.owner()) {
        st.capture_proxy = Py_NewRef(proxy.get());
        redirect_stderr_fd();  // or, failing that, the start's fd 2 goes unfiltered
    }

    cleanup.begin();  // windows do not overlap: what is launched from here is this start's
    Ref spark = start_session(builder, cleanup);  // may run for seconds: the JVM starts here

    // The `finally` part: runs whether the start worked or not.
    PendingError start_error;
    if (window.owner()) restore_stderr_fd();
    // Read the buffer this capture installed, whatever sys.stderr holds now,
    // and put the real stream back even if reading fails.
    Ref captured = call_method(buffer.get(), st.s_getvalue);
    // A failing read carries the start's error as its context, as in a `finally`.
    const bool start_error_chained = !captured && !start_error.empty();
    if (start_error_chained) start_error.chain_under_current();
    PendingError read_error;
    Py_CLEAR(as_proxy(proxy.get())->capture);  // from now on the starting thread writes through too
    int restored = PyObject_SetAttr(sys, st.s_stderr_, original_stderr.get());
    if (window.owner()) forget_open_window();
    window.leave();
    // A session that started but cannot be handed over is undone like a failed start.
    if (restored < 0) {
        read_error.chain_under_current();
        if (!start_error_chained) start_error.chain_under_current();
        cleanup.undo(spark.get());
        return {};
    }
    if (!read_error.empty()) {
        read_error.restore();
        cleanup.undo(spark.get());
        return {};
    }
    if (replay_meaningful_lines(globals, sys, captured.get()) < 0) {
        start_error.chain_under_current();
        cleanup.undo(spark.get());
        return {};
    }
    if (!start_error.empty()) {
        start_error.restore();
        return {};
    }
    return spark;
}

}  // namespace ruk
