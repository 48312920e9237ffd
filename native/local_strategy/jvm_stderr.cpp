// The launched driver JVM's stderr (a pipe of ours, or a spare JVM's), read by one thread for the JVM's whole life.
#include "module_state.hpp"
#include "session_steps.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ruk {

// While the start runs, each line is judged: one that carries a noise marker
// is dropped, any other passes at once to the process's fd 2. After the start
// everything passes as it comes, unchanged (or, when a failed start ends its
// JVM, is dropped). The launcher JVM's notices come through here too; no other
// process's output does. The thread never takes the GIL and ends at the end of
// the stream, when every process of the launch has closed it.
struct JvmStderr {
    int source = -1;
    int sink = 2;  // where what passes goes: fd 2, or fd 1 for a spare JVM's stdout
    // Held by the thread from a read until its bytes are passed on, and by the
    // start's end while it changes the mode: bytes read before that end are
    // judged as start-up output, and so are those still in the pipe then.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    bool starting = true;
    bool dropping = false;      // the start failed: what its JVM prints while it is ended is dropped
    std::size_t judged_left = 0;  // bytes still judged after the start's end
    // Where the current line stands: long lines are judged on their beginning.
    enum class Line { start, judging, dropping, passing } line = Line::start;
    std::size_t pending_size = 0;
    std::atomic<int> holders{2};  // the thread and the start
    char pending[4096];
    char chunk[8192];
};

namespace {

void close_quietly(int fd) noexcept {
    if (fd >= 0) close(fd);  // no retry on EINTR: Linux has closed the fd already
}

void release(JvmStderr* s) noexcept {
    if (s->holders.fetch_sub(1) != 1) return;
    close_quietly(s->source);
    delete s;
}

// The whole buffer to `sink`; given up only when it cannot take it.
void to_sink(int sink, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t done = write(sink, data, size);
        if (done > 0) {
            data += done;
            size -= static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EAGAIN) {
            pollfd ready{sink, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (!(done < 0 && errno == EINTR)) {
            return;  // stderr is gone (EPIPE, EBADF...): keep draining, drop the text
        }
    }
}

bool carries_noise_marker(const char* text, std::size_t size) noexcept {
    for (const char* marker : noise_marker_texts)
        if (memmem(text, size, marker, strlen(marker))) return true;
    return false;
}

bool judging(const JvmStderr& s) noexcept { return s.starting || s.judged_left > 0; }

void take(JvmStderr& s, const char* data, std::size_t size) noexcept {
    using Line = JvmStderr::Line;
    while (size > 0) {
        const char* newline = static_cast<const char*>(memchr(data, '\n', size));
        std::size_t through_line = newline ? static_cast<std::size_t>(newline - data) + 1 : size;
        std::size_t used = through_line;
        switch (s.line) {
        case Line::start:
            if (!judging(s)) {
                if (!s.dropping) to_sink(s.sink, data, size);
                return;
            }
            s.line = Line::judging;
            used = 0;
            break;
        case Line::judging:
            if (s.pending_size + through_line > sizeof s.pending) {
                // Too long to be a notice: decided on its beginning, the rest streams.
                const bool noise = carries_noise_marker(s.pending, s.pending_size);
                if (!noise) to_sink(s.sink, s.pending, s.pending_size);
                s.line = noise ? Line::dropping : Line::passing;
                s.pending_size = 0;
                used = 0;
                break;
            }
            memcpy(s.pending + s.pending_size, data, through_line);
            s.pending_size += through_line;
            if (newline) {
                if (!carries_noise_marker(s.pending, s.pending_size)) to_sink(s.sink, s.pending, s.pending_size);
                s.pending_size = 0;
                s.line = Line::start;
            }
            break;
        case Line::dropping:
        case Line::passing:
            if (s.line == Line::passing) to_sink(s.sink, data, through_line);
            if (newline) s.line = Line::start;
            break;
        }
        data += used;
        size -= used;
        s.judged_left -= used < s.judged_left ? used : s.judged_left;
    }
}

void* read_until_end(void* arg) noexcept {
    JvmStderr* s = static_cast<JvmStderr*>(arg);
    for (;;) {
        pollfd readable{s->source, POLLIN, 0};
        if (poll(&readable, 1, -1) < 0) continue;  // EINTR, or ENOMEM for a moment
        pthread_mutex_lock(&s->lock);
        ssize_t got = read(s->source, s->chunk, sizeof s->chunk);
        if (got > 0) take(*s, s->chunk, static_cast<std::size_t>(got));
        pthread_mutex_unlock(&s->lock);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
    pthread_mutex_lock(&s->lock);
    // A last line without its line break.
    if (s->line == JvmStderr::Line::judging && !carries_noise_marker(s->pending, s->pending_size))
        to_sink(s->sink, s->pending, s->pending_size);
    pthread_mutex_unlock(&s->lock);
    release(s);
    return nullptr;
}

// A private fd never takes the place of a closed stdin, stdout or stderr.
int above_standard_fds(int fd) noexcept {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close_quietly(fd);
    return moved;
}

// Starts the thread that reads `s`; false when it can't be had.
bool start_reader(JvmStderr* s) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    // No signal is ever handled on the thread; SIGPIPE from a closed
    // stderr becomes EPIPE there.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, read_until_end, s) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace

int open_jvm_stderr(JvmStderr** stream) noexcept {
    *stream = nullptr;
    int ends[2];
    // Close-on-exec: the JVM gets the write end as its fd 2, which exec keeps.
#ifdef __linux__
    if (pipe2(ends, O_CLOEXEC) < 0) return -1;
#else  // a launch on another thread may inherit the fds for a moment: harmless
    if (pipe(ends) < 0) return -1;
    for (int end : ends) fcntl(end, F_SETFD, FD_CLOEXEC);
#endif
    for (int& end : ends) end = above_standard_fds(end);
    JvmStderr* s = ends[0] >= 0 && ends[1] >= 0 ? new (std::nothrow) JvmStderr() : nullptr;
    if (s) s->source = ends[0];
    if (!s || !start_reader(s)) {
        delete s;
        close_quietly(ends[0]);
        close_quietly(ends[1]);
        return -1;
    }
    *stream = s;
    return ends[1];
}

int adopt_jvm_output(int fd, int sink, JvmStderr** stream) noexcept {
    if (stream) *stream = nullptr;
    fd = above_standard_fds(fd);
    JvmStderr* s = fd >= 0 ? new (std::nothrow) JvmStderr() : nullptr;
    if (s) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        s->source = fd;
        s->sink = sink;
        if (!stream) {  // nobody judges it: it passes as it comes, and the thread alone holds it
            s->starting = false;
            s->holders = 1;
        }
    }
    if (!s || !start_reader(s)) {
        delete s;
        close_quietly(fd);
        return -1;
    }
    if (stream) *stream = s;
    return 0;
}

void end_jvm_stderr_start(JvmStderr* stream, bool failed, bool keep_unread) noexcept {
    if (!stream) return;
    Py_BEGIN_ALLOW_THREADS  // the thread may be writing to a slow stderr
    pthread_mutex_lock(&stream->lock);
    int unread = 0;
    if (keep_unread && ioctl(stream->source, FIONREAD, &unread) < 0) unread = 0;
    stream->judged_left = static_cast<std::size_t>(unread);
    stream->starting = false;
    stream->dropping = failed;
    if (failed && !keep_unread && stream->line == JvmStderr::Line::judging) {
        stream->line = JvmStderr::Line::dropping;
        stream->pending_size = 0;
    }
    pthread_mutex_unlock(&stream->lock);
    Py_END_ALLOW_THREADS
    release(stream);
}

}  // namespace ruk
