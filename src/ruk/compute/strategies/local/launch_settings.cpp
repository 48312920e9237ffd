// Local launch settings: _JAVA_OPTIONS, the log4j2 file, the JAR directory, the fast defaults.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ruk {
namespace {

constexpr char log4j_file_name[] = "mur_log4j2.properties";

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
    if (same) {
        std::string existing(size, '\0');
        same = pread(fd.get(), existing.data(), size, 0) == static_cast<ssize_t>(size) &&
               std::memcmp(existing.data(), content, size) == 0 &&
               pwrite(fd.get(), content, size, 0) == static_cast<ssize_t>(size);
    }
    return same;
}

// A new file of ours beside `name`, with an unpredictable name, or -1.
int create_temporary(int dir_fd, const char* name, std::string& temp_name) {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char noise[6];
        if (getentropy(noise, sizeof noise) != 0) return -1;
        temp_name = std::string(".") + name + ".";
        for (unsigned char byte : noise) temp_name += letters[byte % (sizeof letters - 1)];
        int fd = openat(dir_fd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Replaces `name` with a file holding `content`, atomically: a JVM starting
// in another process reads either the old file or the new one, never half of
// one. True when done; nothing is left behind otherwise.
bool replace_atomically(int dir_fd, const char* name, const char* content, std::size_t size) {
    std::string temp_name;
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
    ok = ok && renameat(dir_fd, temp_name.c_str(), dir_fd, name) == 0;
    if (!ok) unlinkat(dir_fd, temp_name.c_str(), 0);
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
Log4jPlace place_in_temp_dir(const std::string& temp_dir, const std::string& private_name,
                             const char* content, std::size_t size) {
    FileDescriptor dir(open(temp_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return Log4jPlace::nowhere;
    if (directory_is_safe(dir.get(), DirectoryUse::shared) &&
        place_file(dir.get(), log4j_file_name, content, size))
        return Log4jPlace::shared;
    if (mkdirat(dir.get(), private_name.c_str(), 0700) != 0 && errno != EEXIST) return Log4jPlace::nowhere;
    // Never through a link: one planted at our name could lead to any directory of ours.
    FileDescriptor own(openat(dir.get(), private_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (own.get() >= 0 && directory_is_safe(own.get(), DirectoryUse::private_) &&
        place_file(own.get(), log4j_file_name, content, size))
        return Log4jPlace::private_temp;
    return Log4jPlace::nowhere;
}

// ~/.mur, made if missing. Runs without the GIL.
bool place_in_home(const std::string& mur_home, const char* content, std::size_t size) {
    if (mkdir(mur_home.c_str(), 0700) != 0 && errno != EEXIST) return false;
    FileDescriptor dir(open(mur_home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && directory_is_safe(dir.get(), DirectoryUse::own) &&
           place_file(dir.get(), log4j_file_name, content, size);
}

// A path the file system layer can take, or false with the exception set.
bool fs_path(PyObject* path, std::string& out) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) return false;
    Ref owner = Ref::steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    return true;
}

// The failures that only rule a place out: an unusable or unencodable path.
bool place_ruled_out() {
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

int adjust_java_options(PyObject* globals) {
    ModuleState& st = state();
    Ref os = load_global(globals, st.s_os);
    Ref environ = os ? getattr(os.get(), st.s_environ) : Ref{};
    Ref environ_get = environ ? getattr(environ.get(), st.s_get) : Ref{};
    if (!environ_get) return -1;
    Ref java_opts = Ref::steal(PyObject_Call(environ_get.get(), st.java_opts_get_args, nullptr));
    if (!java_opts) return -1;
    int present = PySequence_Contains(java_opts.get(), st.s_vector_cmov_flag);
    if (present != 0) return present < 0 ? -1 : 0;
    Ref extended = Ref::steal(PyNumber_Add(java_opts.get(), st.s_java_opts_suffix));
    Ref stripped = extended ? call_method(extended.get(), st.s_strip) : Ref{};
    if (!stripped) return -1;
    return PyObject_SetItem(environ.get(), st.s_JAVA_OPTIONS, stripped.get());
}

// The logging file goes where no other user can change it: the shared name in
// the temporary directory when it is free or ours, else a directory of our
// own there, else ~/.mur. When none of them can be written the result is
// None: the session then starts with Spark's own logging, which is louder but
// safer than failing, or than a path that someone else controls.
Ref write_log4j_file(PyObject* globals) {
    ModuleState& st = state();
    Py_ssize_t size = 0;
    const char* content = PyUnicode_AsUTF8AndSize(st.log4j_config, &size);
    if (!content) return {};
    Ref os;
    Ref os_path = os_path_of(globals, os);
    if (!os_path) return {};

    Ref tempfile = import_module(globals, st.s_tempfile);
    Ref temp_dir = tempfile ? call_method(tempfile.get(), st.s_gettempdir) : Ref{};
    std::string temp_dir_path;
    if (temp_dir && fs_path(temp_dir.get(), temp_dir_path)) {
        const std::string private_name = "mur-" + std::to_string(geteuid());
        Log4jPlace place;
        Py_BEGIN_ALLOW_THREADS
        place = place_in_temp_dir(temp_dir_path, private_name, content, static_cast<std::size_t>(size));
        Py_END_ALLOW_THREADS
        if (place == Log4jPlace::shared) return path_join(os_path.get(), temp_dir.get(), st.s_log4j_name);
        if (place == Log4jPlace::private_temp) {
            Ref name = Ref::steal(PyUnicode_FromString(private_name.c_str()));
            Ref directory = name ? path_join(os_path.get(), temp_dir.get(), name.get()) : Ref{};
            return directory ? path_join(os_path.get(), directory.get(), st.s_log4j_name) : Ref{};
        }
    } else if (!place_ruled_out()) {
        return {};
    }

    Ref mur_home = call_method(os_path.get(), st.s_expanduser, st.s_mur_home);
    std::string mur_home_path;
    if (mur_home && fs_path(mur_home.get(), mur_home_path)) {
        bool placed;
        Py_BEGIN_ALLOW_THREADS
        placed = place_in_home(mur_home_path, content, static_cast<std::size_t>(size));
        Py_END_ALLOW_THREADS
        if (placed) return path_join(os_path.get(), mur_home.get(), st.s_log4j_name);
    } else if (!place_ruled_out()) {
        return {};
    }
    return Ref::borrow(Py_None);
}

// Nothing reads the directory yet, so failing to make it (a read-only HOME, a
// file in the way) does not stop the start: its path is handed on all the same.
Ref prepare_jar_directory(PyObject* globals) {
    ModuleState& st = state();
    Ref os;
    Ref os_path = os_path_of(globals, os);
    if (!os_path) return {};
    Ref mur_home = call_method(os_path.get(), st.s_expanduser, st.s_mur_home);
    Ref jar_cache_dir = mur_home ? path_join(os_path.get(), mur_home.get(), st.s_jdbc_jars)
                                 : Ref{};
    Ref makedirs = jar_cache_dir ? getattr(os.get(), st.s_makedirs) : Ref{};
    if (!makedirs) return {};
    PyObject* argv[] = {jar_cache_dir.get(), Py_True};
    Ref made = Ref::steal(PyObject_Vectorcall(makedirs.get(), argv, 1, st.makedirs_kwnames));
    if (!made) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
        PyErr_Clear();
    }
    return jar_cache_dir;
}

namespace {

// Spark splits the driver options at blanks, honouring quotes and backslashes
// (the launcher's parseOptionString for the driver, Utils.splitCommandString
// elsewhere). An option that holds a blank, a quote or a backslash goes in
// single quotes, where both take every character literally; a single quote
// itself is written '"'"' (close, a double-quoted quote, reopen).
Ref quote_java_option(PyObject* option) {
    ModuleState& st = state();
    const int kind = PyUnicode_KIND(option);
    const void* data = PyUnicode_DATA(option);
    bool needed = false;
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(option) && !needed; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        needed = c == '\'' || c == '"' || c == '\\' || Py_UNICODE_ISSPACE(c);
    }
    if (!needed) return Ref::borrow(option);
    Ref inner = Ref::steal(PyUnicode_Replace(option, st.s_single_quote, st.s_quoted_single_quote, -1));
    Ref opened = inner ? Ref::steal(PyUnicode_Concat(st.s_single_quote, inner.get())) : Ref{};
    return opened ? Ref::steal(PyUnicode_Concat(opened.get(), st.s_single_quote)) : Ref{};
}

// The driver's JVM options: the logging file's, when there is one, then the fixed rest.
Ref driver_java_options(PyObject* log4j_file) {
    ModuleState& st = state();
    if (log4j_file == Py_None)  // the fixed options without their leading blank
        return Ref::steal(PyUnicode_Substring(st.java_options_tail, 1, PyUnicode_GET_LENGTH(st.java_options_tail)));
    Ref path_text = Ref::steal(PyObject_Str(log4j_file));
    Ref option = path_text ? Ref::steal(PyUnicode_Concat(st.s_log4j_option_prefix, path_text.get())) : Ref{};
    Ref quoted = option ? quote_java_option(option.get()) : Ref{};
    return quoted ? Ref::steal(PyUnicode_Concat(quoted.get(), st.java_options_tail)) : Ref{};
}

}  // namespace

Ref fast_config_values(PyObject* globals, PyObject* log4j_file, PyObject* jar_paths) {
    ModuleState& st = state();
    // The JAR entries come from the provisioning module, the one place that
    // turns JARs into Spark settings.
    Ref jar_spark_settings;
    if (import_from(globals, st.s_jar_provisioning_module, &st.s_jar_spark_settings, 1,
                    &jar_spark_settings) < 0)
        return {};
    Ref jar_settings = call(jar_spark_settings.get(), jar_paths);
    if (!jar_settings) return {};
    Ref values = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(st.fast_config_keys)));
    if (!values) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.get()); ++i) {
        PyObject* fixed = PyTuple_GET_ITEM(st.fast_config_fixed, i);
        Ref value;
        if (fixed != Py_None) {
            value = Ref::borrow(fixed);
        } else if (i >= 2 && i <= 4) {  // spark.jars, then both class paths
            value = Ref::steal(PyObject_GetItem(jar_settings.get(), PyTuple_GET_ITEM(st.fast_config_keys, i)));
        } else {
            value = driver_java_options(log4j_file);
        }
        if (!value) return {};
        PyTuple_SET_ITEM(values.get(), i, value.release());
    }
    return values;
}

}  // namespace ruk
