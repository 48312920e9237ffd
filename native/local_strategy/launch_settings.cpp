// Local launch settings of the process and its files: _JAVA_OPTIONS, the log4j2 file, the JAR directory.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ruk {
namespace {

// --- The launch settings of the process and its files ---------------------------
// (what a start hands Spark's builder, the fast defaults among it, and the
// flags of _JAVA_OPTIONS are launch_plan.py's: one table there)

constexpr char keep_alive_variable[] = "MUR_SPARK_KEEP_ALIVE";
constexpr char keep_alive_off[] = "0";  // what an unset variable reads as
constexpr char keep_alive_on[] = "1";

constexpr char log4j_file_name[] = "mur_log4j2.properties";
constexpr char log4j_config[] =
    "\n"
    "status = error\n"
    "appender.console.type = Console\n"
    "appender.console.name = console\n"
    "appender.console.target = SYSTEM_ERR\n"
    "appender.console.layout.type = PatternLayout\n"
    "appender.console.layout.pattern = %msg%n\n"
    "rootLogger.level = error\n"
    "rootLogger.appenderRef.console.ref = console\n"
    "logger.spark.name = org.apache.spark\n"
    "logger.spark.level = error\n"
    "logger.hadoop.name = org.apache.hadoop\n"
    "logger.hadoop.level = error\n";

// --- end of the launch settings --------------------------------------------------

Ref os_path_of(PyObject* globals, Ref& os) {
    os = load_global(globals, state().s_os);
    return os ? getattr(os.get(), state().s_path) : Ref{};
}

// An fd closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Who else may change the files of a directory decides whether the JVM may
// read our logging file from it: a file that another user can swap would
// hand them the JVM's logging configuration.
enum class DirectoryUse {
    shared,   // the temporary directory: root's or ours, and sticky if others may write
    own,      // ~/.mur: ours, nobody else may write
    private_, // <tmp>/mur-<uid>: ours, nobody else may even look
};

bool directory_is_safe(int dir_fd, DirectoryUse use) {
    struct stat info;
    if (fstat(dir_fd, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    const uid_t me = geteuid();
    switch (use) {
        case DirectoryUse::shared:
            return (info.st_uid == me || info.st_uid == 0) &&
                   (!(info.st_mode & (S_IWGRP | S_IWOTH)) || (info.st_mode & S_ISVTX));
        case DirectoryUse::own:
            return info.st_uid == me && !(info.st_mode & (S_IWGRP | S_IWOTH));
        case DirectoryUse::private_:
            return info.st_uid == me && !(info.st_mode & (S_IRWXG | S_IRWXO));
    }
    return false;
}

// Rewrites `name` in place when it already is our own regular file holding
// exactly `content`: no reader can see a byte change, and it spares the
// rename's cost (on some file systems freeing the old blocks and flushing the
// new ones takes most of a session's set-up time). True when done.
bool rewrite_identical_in_place(int dir_fd, const char* name, const char* content, std::size_t size) {
    FileDescriptor fd(openat(dir_fd, name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return false;
    struct stat info;
    bool same = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                static_cast<std::size_t>(info.st_size) == size;
    char existing[1024];  // the logging file is a few hundred bytes
    if (same && size <= sizeof existing) {
        same = pread(fd.get(), existing, size, 0) == static_cast<ssize_t>(size) &&
               std::memcmp(existing, content, size) == 0 &&
               pwrite(fd.get(), content, size, 0) == static_cast<ssize_t>(size);
    } else {
        same = false;
    }
    return same;
}

// A temporary name beside `name`: "." name "." and six random letters.
using TemporaryName = char[64];

// A new file of ours beside `name`, with an unpredictable name, or -1.
int create_temporary(int dir_fd, const char* name, TemporaryName& temp_name) {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char noise[6];
        if (getentropy(noise, sizeof noise) != 0) return -1;
        char suffix[sizeof noise + 1] = {};
        for (std::size_t i = 0; i < sizeof noise; ++i) suffix[i] = letters[noise[i] % (sizeof letters - 1)];
        const int length = std::snprintf(temp_name, sizeof temp_name, ".%s.%s", name, suffix);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temp_name) return -1;
        int fd = openat(dir_fd, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Replaces `name` with a file holding `content`, atomically: a JVM starting
// in another process reads either the old file or the new one, never half of
// one. True when done; nothing is left behind otherwise.
bool replace_atomically(int dir_fd, const char* name, const char* content, std::size_t size) {
    TemporaryName temp_name;
    int fd = create_temporary(dir_fd, name, temp_name);
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t written = 0; written < size && ok;) {
        ssize_t n = write(fd, content + written, size - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            ok = false;
        }
    }
    // Created private; readable like a file written with open() (it holds nothing secret).
    ok = ok && fchmod(fd, 0644) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(dir_fd, temp_name, dir_fd, name) == 0;
    if (!ok) unlinkat(dir_fd, temp_name, 0);
    return ok;
}

// Puts `content` at `name` in the directory when the name is free or holds our
// own regular file. Anything else there (another user's file, a link, a
// directory) is left alone: false, and the caller looks elsewhere.
bool place_file(int dir_fd, const char* name, const char* content, std::size_t size) {
    struct stat info;
    if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return false;
        if (rewrite_identical_in_place(dir_fd, name, content, size)) return true;
    } else if (errno != ENOENT) {
        return false;
    }
    return replace_atomically(dir_fd, name, content, size);
}

// Where the logging file went.
enum class Log4jPlace { shared, private_temp, home, nowhere };

// The temporary directory first: the shared name, else a directory of our own
// in it. Runs without the GIL.
Log4jPlace place_in_temp_dir(const char* temp_dir, const char* private_name, const char* content,
                             std::size_t size) {
    FileDescriptor dir(open(temp_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return Log4jPlace::nowhere;
    if (directory_is_safe(dir.get(), DirectoryUse::shared) &&
        place_file(dir.get(), log4j_file_name, content, size))
        return Log4jPlace::shared;
    if (mkdirat(dir.get(), private_name, 0700) != 0 && errno != EEXIST) return Log4jPlace::nowhere;
    // Never through a link: one planted at our name could lead to any directory of ours.
    FileDescriptor own(openat(dir.get(), private_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (own.get() >= 0 && directory_is_safe(own.get(), DirectoryUse::private_) &&
        place_file(own.get(), log4j_file_name, content, size))
        return Log4jPlace::private_temp;
    return Log4jPlace::nowhere;
}

// ~/.mur, which the caller has made. Runs without the GIL.
bool place_in_home(const char* mur_home, const char* content, std::size_t size) {
    FileDescriptor dir(open(mur_home, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && directory_is_safe(dir.get(), DirectoryUse::own) &&
           place_file(dir.get(), log4j_file_name, content, size);
}

// The user's ~/.mur, made private if missing, from the one function that
// knows whether there is a usable home: None when there is none or it cannot
// be made (the exception cleared), empty with an exception set otherwise.
Ref mur_directory(PyObject* globals) {
    Ref function;
    if (import_siblings(globals, {Sibling::mur_directory}, &function) < 0) return {};
    Ref directory = call_sibling<Sibling::mur_directory>(function.get(), Py_True);
    if (directory || !PyErr_ExceptionMatches(PyExc_OSError)) return directory;
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

// The path as the file system layer takes it (bytes, which stay readable
// without the GIL while held), or empty with the exception set.
Ref fs_path(PyObject* path) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) return {};
    return Ref::steal(bytes);
}

// The failures that only rule a place out: an unusable or unencodable path.
bool place_ruled_out() {
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

int adjust_java_options(PyObject* globals) {
    Ref function;
    if (import_siblings(globals, {Sibling::add_java_flags}, &function) < 0) return -1;
    return call_sibling<Sibling::add_java_flags>(function.get()) ? 0 : -1;
}

// The logging file goes where no other user can change it: the shared name in
// the temporary directory when it is free or ours, else a directory of our
// own there, else ~/.mur. When none of them can be written the result is
// None: the session then starts with Spark's own logging, which is louder but
// safer than failing, or than a path that someone else controls.
Ref write_log4j_file(PyObject* globals) {
    ModuleState& st = state();
    Py_ssize_t size = 0;
    const char* content = PyUnicode_AsUTF8AndSize(st.launch.log4j_config, &size);
    if (!content) return {};
    Ref os;
    Ref os_path = os_path_of(globals, os);
    if (!os_path) return {};

    Ref tempfile = import_module(globals, st.s_tempfile);
    Ref temp_dir = tempfile ? call_method(tempfile.get(), st.s_gettempdir) : Ref{};
    Ref temp_dir_path = temp_dir ? fs_path(temp_dir.get()) : Ref{};
    if (temp_dir_path) {
        char private_name[32];
        std::snprintf(private_name, sizeof private_name, "mur-%lu", static_cast<unsigned long>(geteuid()));
        const char* directory = PyBytes_AS_STRING(temp_dir_path.get());
        Log4jPlace place;
        Py_BEGIN_ALLOW_THREADS
        place = place_in_temp_dir(directory, private_name, content, static_cast<std::size_t>(size));
        Py_END_ALLOW_THREADS
        if (place == Log4jPlace::shared) return path_join(os_path.get(), temp_dir.get(), st.launch.log4j_file_name);
        if (place == Log4jPlace::private_temp) {
            Ref name = Ref::steal(PyUnicode_FromString(private_name));
            Ref directory = name ? path_join(os_path.get(), temp_dir.get(), name.get()) : Ref{};
            return directory ? path_join(os_path.get(), directory.get(), st.launch.log4j_file_name) : Ref{};
        }
    } else if (!place_ruled_out()) {
        return {};
    }

    Ref mur_home = mur_directory(globals);
    if (!mur_home) return {};
    Ref mur_home_path = mur_home.get() != Py_None ? fs_path(mur_home.get()) : Ref{};
    if (mur_home_path) {
        const char* directory = PyBytes_AS_STRING(mur_home_path.get());
        bool placed;
        Py_BEGIN_ALLOW_THREADS
        placed = place_in_home(directory, content, static_cast<std::size_t>(size));
        Py_END_ALLOW_THREADS
        if (placed) return path_join(os_path.get(), mur_home.get(), st.launch.log4j_file_name);
    } else if (mur_home.get() != Py_None && !place_ruled_out()) {
        return {};
    }
    return Ref::borrow(Py_None);
}

// ~/.mur/jdbc_jars, made when it can be (never without a usable home); its
// path is handed on either way: nothing reads the directory yet.
Ref prepare_jar_directory(PyObject* globals) {
    Ref function;
    if (import_siblings(globals, {Sibling::jar_cache_directory}, &function) < 0) return {};
    return call_sibling<Sibling::jar_cache_directory>(function.get());
}

int start_pending_build(PyObject* globals, PyObject* spark, PyObject* plan) {
    Ref after_start;
    Ref done = import_siblings(globals, {Sibling::archive_after_start}, &after_start) == 0
                   ? call_sibling<Sibling::archive_after_start>(after_start.get(), spark, plan)
                   : Ref{};
    if (done) return 0;
    if (!pending_is_exception()) return -1;
    PyErr_Clear();  // the session is there; only a later start's archive is at stake
    return 0;
}

int init_launch_settings() noexcept {
    ModuleState::LaunchSettings& launch = state().launch;
    if (launch.log4j_file_name) return 0;
    auto text = [](const char* value) { return PyUnicode_InternFromString(value); };
    auto pair = [&](const char* first, const char* second) -> PyObject* {
        Ref a = Ref::steal(text(first));
        Ref b = a ? Ref::steal(text(second)) : Ref{};
        return b ? PyTuple_Pack(2, a.get(), b.get()) : nullptr;
    };
    if (!(launch.keep_alive_get_args = pair(keep_alive_variable, keep_alive_off)) ||
        !(launch.keep_alive_on = text(keep_alive_on)) ||
        !(launch.log4j_config = PyUnicode_FromString(log4j_config)))
        return -1;
    // Last: its presence marks the launch settings as complete.
    launch.log4j_file_name = text(log4j_file_name);
    return launch.log4j_file_name ? 0 : -1;
}

}  // namespace ruk
