// Local launch settings: _JAVA_OPTIONS, the log4j2 file, the JAR directory, the fast defaults.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ruk {
namespace {

// --- The launch settings: every fixed fact of a local start, in one place ---------

// Added to _JAVA_OPTIONS unless the first flag is there already.
constexpr char java_flags_marker[] = "-XX:-UseVectorCmov";
constexpr char java_flags_suffix[] = " -XX:-UseVectorCmov -XX:-UseSIMDForMemoryOps -XX:+IgnoreUnrecognizedVMOptions";

constexpr char default_master[] = "local[2]";
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

// The driver's JVM options: the one naming the logging file, then these.
constexpr char log4j_option_prefix[] = "-Dlog4j2.configurationFile=file:";
constexpr char driver_options_tail[] =
    " -Djava.util.logging.level=SEVERE"
    " --add-opens=java.base/java.lang=ALL-UNNAMED"
    " --add-opens=java.base/java.lang.invoke=ALL-UNNAMED"
    " --add-opens=java.base/java.lang.reflect=ALL-UNNAMED"
    " --add-opens=java.base/java.io=ALL-UNNAMED"
    " --add-opens=java.base/java.net=ALL-UNNAMED"
    " --add-opens=java.base/java.nio=ALL-UNNAMED"
    " --add-opens=java.base/java.util=ALL-UNNAMED"
    " --add-opens=java.base/java.util.concurrent=ALL-UNNAMED"
    " --add-opens=java.base/java.util.concurrent.atomic=ALL-UNNAMED"
    " --add-opens=java.base/sun.nio.ch=ALL-UNNAMED"
    " --add-opens=java.base/sun.nio.cs=ALL-UNNAMED"
    " --add-opens=java.base/sun.security.action=ALL-UNNAMED"
    " --add-opens=java.base/sun.util.calendar=ALL-UNNAMED"
    " --add-opens=java.security.jgss/sun.security.krb5=ALL-UNNAMED"
    " -XX:+IgnoreUnrecognizedVMOptions";

// How a fast default's value is found. Each entry says it itself, so the
// table can be reordered without any value moving to another key.
enum class ValueSource : unsigned char {
    fixed,                // the entry's text
    project_jars,         // the provisioning module's JAR settings, under the entry's own key
    driver_java_options,  // the logging-file option, then driver_options_tail
    extension_search,     // the session-extensions module's answer for the JARs and the configuration
};

struct FastDefault {
    const char* key;
    ValueSource source;
    const char* text = nullptr;  // for ValueSource::fixed
};

// The fast-start defaults, in the order they are applied.
constexpr FastDefault fast_defaults[] = {
    {"spark.driver.memory", ValueSource::fixed, "1g"},
    {"spark.executor.memory", ValueSource::fixed, "1g"},
    {"spark.jars", ValueSource::project_jars},
    {"spark.driver.extraClassPath", ValueSource::project_jars},
    {"spark.executor.extraClassPath", ValueSource::project_jars},
    {"spark.driver.extraJavaOptions", ValueSource::driver_java_options},
    {"spark.ui.enabled", ValueSource::fixed, "false"},
    {"spark.ui.showConsoleProgress", ValueSource::fixed, "false"},
    {"spark.eventLog.enabled", ValueSource::fixed, "false"},
    {"spark.driver.bindAddress", ValueSource::fixed, "127.0.0.1"},
    {"spark.driver.host", ValueSource::fixed, "localhost"},
    {"spark.sql.shuffle.partitions", ValueSource::fixed, "8"},
    {"spark.sql.execution.arrow.pyspark.enabled", ValueSource::fixed, "false"},
    {"spark.sql.execution.arrow.pyspark.fallback.enabled", ValueSource::fixed, "true"},
    {"spark.sql.execution.arrow.enabled", ValueSource::fixed, "false"},
    {"spark.sql.adaptive.enabled", ValueSource::fixed, "false"},
    {"spark.sql.adaptive.coalescePartitions.enabled", ValueSource::fixed, "false"},
    // Off unless a JAR we add may bring an extension: PySpark's only one is
    // Spark ML's functions, registered where ML is used (session_extensions.py).
    {"spark.sql.extensions.test.loadFromCp", ValueSource::extension_search},
};

constexpr Py_ssize_t position_of(ValueSource source) {
    for (std::size_t i = 0; i < std::size(fast_defaults); ++i)
        if (fast_defaults[i].source == source) return static_cast<Py_ssize_t>(i);
    return -1;
}
constexpr Py_ssize_t driver_java_options_position = position_of(ValueSource::driver_java_options);
static_assert(driver_java_options_position >= 0, "the driver's JVM options are a fast default");

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
    ModuleState& st = state();
    Ref function;
    if (import_from(globals, st.s_mur_home_module, &st.s_mur_directory, 1, &function) < 0) return {};
    Ref directory = call(function.get(), Py_True);
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
    ModuleState& st = state();
    Ref os = load_global(globals, st.s_os);
    Ref environ = os ? getattr(os.get(), st.s_environ) : Ref{};
    Ref environ_get = environ ? getattr(environ.get(), st.s_get) : Ref{};
    if (!environ_get) return -1;
    Ref java_opts = Ref::steal(PyObject_Call(environ_get.get(), st.launch.java_options_get_args, nullptr));
    if (!java_opts) return -1;
    int present = PySequence_Contains(java_opts.get(), st.launch.java_flags_marker);
    if (present != 0) return present < 0 ? -1 : 0;
    Ref extended = Ref::steal(PyNumber_Add(java_opts.get(), st.launch.java_flags_suffix));
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
    ModuleState& st = state();
    Ref function;
    if (import_from(globals, st.s_mur_home_module, &st.s_jar_cache_directory, 1, &function) < 0) return {};
    return Ref::steal(PyObject_CallNoArgs(function.get()));
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
    Ref inner = Ref::steal(PyUnicode_Replace(option, st.launch.single_quote, st.launch.quoted_single_quote, -1));
    Ref opened = inner ? Ref::steal(PyUnicode_Concat(st.launch.single_quote, inner.get())) : Ref{};
    return opened ? Ref::steal(PyUnicode_Concat(opened.get(), st.launch.single_quote)) : Ref{};
}

// The driver's JVM options: the logging file's, when there is one, then the fixed rest.
Ref driver_java_options(PyObject* log4j_file) {
    ModuleState& st = state();
    if (log4j_file == Py_None)  // the fixed options without their leading blank
        return Ref::steal(PyUnicode_Substring(st.launch.driver_options_tail, 1, PyUnicode_GET_LENGTH(st.launch.driver_options_tail)));
    Ref path_text = Ref::steal(PyObject_Str(log4j_file));
    Ref option = path_text ? Ref::steal(PyUnicode_Concat(st.launch.log4j_option_prefix, path_text.get())) : Ref{};
    Ref quoted = option ? quote_java_option(option.get()) : Ref{};
    return quoted ? Ref::steal(PyUnicode_Concat(quoted.get(), st.launch.driver_options_tail)) : Ref{};
}

}  // namespace

Ref fast_config_values(PyObject* globals, PyObject* log4j_file, PyObject* jar_paths, PyObject* config) {
    ModuleState& st = state();
    // The JAR entries come from the provisioning module, the one place that
    // turns JARs into Spark settings.
    Ref jar_spark_settings, class_path_search;
    if (import_from(globals, st.s_jar_provisioning_module, &st.s_jar_spark_settings, 1, &jar_spark_settings) < 0 ||
        import_from(globals, st.s_session_extensions_module, &st.s_class_path_search, 1, &class_path_search) < 0)
        return {};
    Ref jar_settings = call(jar_spark_settings.get(), jar_paths);
    if (!jar_settings) return {};
    Ref values = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(fast_defaults))));
    if (!values) return {};
    for (std::size_t i = 0; i < std::size(fast_defaults); ++i) {
        const auto position = static_cast<Py_ssize_t>(i);
        Ref value;
        switch (fast_defaults[i].source) {
        case ValueSource::fixed:
            value = Ref::borrow(PyTuple_GET_ITEM(st.launch.fast_default_fixed, position));
            break;
        case ValueSource::project_jars:
            value = Ref::steal(
                PyObject_GetItem(jar_settings.get(), PyTuple_GET_ITEM(st.launch.fast_default_keys, position)));
            break;
        case ValueSource::driver_java_options:
            value = driver_java_options(log4j_file);
            break;
        case ValueSource::extension_search:
            value = call(class_path_search.get(), jar_paths, config);
            break;
        }
        if (!value) return {};
        PyTuple_SET_ITEM(values.get(), position, value.release());
    }
    return values;
}

int route_quiet_options(PyObject* config, QuietOptions& route) {
    ModuleState& st = state();
    PyObject* extra_key = PyTuple_GET_ITEM(st.launch.fast_default_keys, driver_java_options_position);
    route = QuietOptions::as_extra_default;
    int configured = PySequence_Contains(config, extra_key);
    if (configured <= 0) return configured;
    // Spark puts defaultJavaOptions first on the driver's command line, so
    // the user's options still win wherever both set the same thing.
    route = QuietOptions::not_at_all;
    int own_defaults = PySequence_Contains(config, st.launch.default_java_options_key);
    if (own_defaults != 0) return own_defaults < 0 ? -1 : 0;
    Ref value = Ref::steal(PyObject_GetItem(config, extra_key));
    Ref text = value ? Ref::steal(PyObject_Str(value.get())) : Ref{};  // as PySpark's builder takes it
    int own_logging = text ? PySequence_Contains(text.get(), st.launch.log4j_option_name) : -1;
    if (own_logging != 0) return own_logging < 0 ? -1 : 0;
    route = QuietOptions::as_default_options;
    return 0;
}

Ref configure_quiet_default_options(PyObject* builder, PyObject* values) {
    ModuleState& st = state();
    return call_method(builder, st.s_config, st.launch.default_java_options_key,
                       PyTuple_GET_ITEM(values, driver_java_options_position));
}

namespace {

// The driver's options as the archive sees them: ours, then the user's
// extraJavaOptions when they go beside ours.
Ref options_for_sharing(PyObject* config, PyObject* java_options, QuietOptions route) {
    if (route != QuietOptions::as_default_options) return Ref::borrow(java_options);
    ModuleState& st = state();
    PyObject* extra_key = PyTuple_GET_ITEM(st.launch.fast_default_keys, driver_java_options_position);
    Ref value = Ref::steal(PyObject_GetItem(config, extra_key));
    Ref text = value ? Ref::steal(PyObject_Str(value.get())) : Ref{};
    return text ? Ref::steal(PyUnicode_FromFormat("%U %U", java_options, text.get())) : Ref{};
}

}  // namespace

int add_class_data_sharing(PyObject* globals, PyObject* config, PyObject* values, PyObject* jar_paths,
                           bool jvm_running, QuietOptions route) {
    ModuleState& st = state();
    constexpr Py_ssize_t java_options_index = driver_java_options_position;
    if (route == QuietOptions::not_at_all) return 0;  // the user's own options stand as they are
    PyObject* java_options = PyTuple_GET_ITEM(values, java_options_index);
    Ref driver_options;
    Ref setup_options = options_for_sharing(config, java_options, route);
    // May run arbitrary Python code (the import, the archive lookup, a builder's spawn).
    Ref extra = setup_options && import_from(globals, st.s_class_data_sharing_module, &st.s_driver_options, 1,
                                             &driver_options) == 0
                    ? call(driver_options.get(), setup_options.get(), jar_paths, config,
                           jvm_running ? Py_True : Py_False)
                    : Ref{};
    int has_extra = extra && PyUnicode_Check(extra.get()) ? PyObject_IsTrue(extra.get()) : 0;
    if (has_extra > 0) {
        Ref combined = Ref::steal(PyUnicode_Concat(java_options, extra.get()));
        // `values` is our own new tuple, not yet seen by anyone else.
        if (combined && PyTuple_SetItem(values, java_options_index, combined.release()) == 0) return 0;
    } else if (extra && has_extra == 0) {
        return 0;
    }
    if (!pending_is_exception()) return -1;
    PyErr_Clear();  // the start goes on as it would without an archive
    return 0;
}

int start_pending_build(PyObject* globals, PyObject* spark) {
    ModuleState& st = state();
    Ref after_start;
    Ref done = import_from(globals, st.s_class_data_sharing_module, &st.s_after_start, 1, &after_start) == 0
                   ? call(after_start.get(), spark)
                   : Ref{};
    if (done) return 0;
    if (!pending_is_exception()) return -1;
    PyErr_Clear();  // the session is there; only a later start's archive is at stake
    return 0;
}

int init_launch_settings() noexcept {
    ModuleState::LaunchSettings& launch = state().launch;
    if (launch.fast_default_keys) return 0;
    auto text = [](const char* value) { return PyUnicode_InternFromString(value); };
    auto pair = [&](const char* first, const char* second) -> PyObject* {
        Ref a = Ref::steal(text(first));
        Ref b = a ? Ref::steal(text(second)) : Ref{};
        return b ? PyTuple_Pack(2, a.get(), b.get()) : nullptr;
    };
    if (!(launch.java_options_get_args = pair("_JAVA_OPTIONS", "")) ||
        !(launch.java_flags_marker = text(java_flags_marker)) ||
        !(launch.java_flags_suffix = text(java_flags_suffix)) ||
        !(launch.master_get_args = pair("master", default_master)) ||
        !(launch.keep_alive_get_args = pair(keep_alive_variable, keep_alive_off)) ||
        !(launch.keep_alive_on = text(keep_alive_on)) ||
        !(launch.log4j_config = PyUnicode_FromString(log4j_config)) ||
        !(launch.log4j_file_name = text(log4j_file_name)) ||
        !(launch.log4j_option_prefix = text(log4j_option_prefix)) ||
        !(launch.driver_options_tail = PyUnicode_FromString(driver_options_tail)) ||
        !(launch.single_quote = text("'")) || !(launch.quoted_single_quote = text("'\"'\"'")) ||
        !(launch.default_java_options_key = text("spark.driver.defaultJavaOptions")) ||
        !(launch.log4j_option_name = text("log4j2.configurationFile")))
        return -1;
    constexpr auto count = static_cast<Py_ssize_t>(std::size(fast_defaults));
    Ref keys = Ref::steal(PyTuple_New(count));
    Ref fixed = keys ? Ref::steal(PyTuple_New(count)) : Ref{};
    if (!fixed) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const FastDefault& entry = fast_defaults[i];
        PyObject* key = text(entry.key);
        if (!key) return -1;
        PyTuple_SET_ITEM(keys.get(), i, key);
        PyObject* value = entry.source == ValueSource::fixed ? text(entry.text) : Py_NewRef(Py_None);
        if (!value) return -1;
        PyTuple_SET_ITEM(fixed.get(), i, value);
    }
    launch.fast_default_fixed = fixed.release();
    // Last: its presence marks the launch settings as complete.
    launch.fast_default_keys = keys.release();
    return 0;
}

}  // namespace ruk
