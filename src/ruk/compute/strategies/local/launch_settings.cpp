// Local launch settings: _JAVA_OPTIONS, the log4j2 file, the JAR directory, the fast defaults.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ruk {
namespace {

Ref os_path_of(PyObject* globals, Ref& os) {
    os = load_global(globals, state().s_os);
    return os ? getattr(os.get(), state().s_path) : Ref{};
}

// Rewrites `target` in place when it already is our own regular file holding
// exactly `content`: no reader can see a byte change, and it spares the
// rename's cost (on some file systems freeing the old blocks and flushing the
// new ones takes most of a session's set-up time). True when done.
bool rewrite_identical_in_place(const std::string& target, const char* content, std::size_t size) {
    int fd = open(target.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    bool same = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                static_cast<std::size_t>(info.st_size) == size;
    if (same) {
        std::string existing(size, '\0');
        same = pread(fd, existing.data(), size, 0) == static_cast<ssize_t>(size) &&
               std::memcmp(existing.data(), content, size) == 0 &&
               pwrite(fd, content, size, 0) == static_cast<ssize_t>(size);
    }
    close(fd);
    return same;
}

// Replaces `target` with a file holding `content`, atomically: a JVM starting
// in another process reads either the old file or the new one, never half of
// one, and a symbolic link planted at the name is replaced, not followed.
// Returns 0, or an errno value with *failed_path set to the path it concerns.
int replace_file_atomically(const std::string& directory, const std::string& target,
                            const char* content, std::size_t size, const std::string** failed_path) {
    if (rewrite_identical_in_place(target, content, size)) return 0;
    std::string temp_path = directory + "/.mur_log4j2.properties.XXXXXX";
    int fd = mkstemp(temp_path.data());
    if (fd < 0) {
        *failed_path = &directory;
        return errno;
    }
    int error = 0;
    for (std::size_t written = 0; written < size && !error;) {
        ssize_t n = write(fd, content + written, size - written);
        if (n < 0) {
            if (errno != EINTR) error = errno;
        } else {
            written += static_cast<std::size_t>(n);
        }
    }
    // mkstemp makes the file private; other users' JVMs must be able to read it.
    if (!error && fchmod(fd, 0644) < 0) error = errno;
    if (close(fd) < 0 && !error) error = errno;
    if (!error && rename(temp_path.c_str(), target.c_str()) < 0) error = errno;
    if (error) {
        unlink(temp_path.c_str());
        *failed_path = &target;
    }
    return error;
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

Ref write_log4j_file(PyObject* globals) {
    ModuleState& st = state();
    Ref tempfile = import_module(globals, st.s_tempfile);
    Ref temp_dir = tempfile ? call_method(tempfile.get(), st.s_gettempdir) : Ref{};
    if (!temp_dir) return {};
    Ref os;
    Ref os_path = os_path_of(globals, os);
    Ref log4j_file = os_path ? path_join(os_path.get(), temp_dir.get(), st.s_log4j_name)
                             : Ref{};
    if (!log4j_file) return {};

    PyObject* directory_bytes = nullptr;
    PyObject* target_bytes = nullptr;
    if (!PyUnicode_FSConverter(temp_dir.get(), &directory_bytes)) return {};
    Ref directory_owner = Ref::steal(directory_bytes);
    if (!PyUnicode_FSConverter(log4j_file.get(), &target_bytes)) return {};
    Ref target_owner = Ref::steal(target_bytes);
    const std::string directory(PyBytes_AS_STRING(directory_bytes), PyBytes_GET_SIZE(directory_bytes));
    const std::string target(PyBytes_AS_STRING(target_bytes), PyBytes_GET_SIZE(target_bytes));

    Py_ssize_t size = 0;
    const char* content = PyUnicode_AsUTF8AndSize(st.log4j_config, &size);
    if (!content) return {};
    const std::string* failed_path = nullptr;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = replace_file_atomically(directory, target, content, static_cast<std::size_t>(size),
                                    &failed_path);
    Py_END_ALLOW_THREADS
    if (error) {
        errno = error;
        PyObject* failed = failed_path == &target ? log4j_file.get() : temp_dir.get();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, failed);
        return {};
    }
    return log4j_file;
}

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
    if (!made) return {};
    return jar_cache_dir;
}

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
            Ref path_text = Ref::steal(PyObject_Str(log4j_file));
            Ref option = path_text ? Ref::steal(PyUnicode_Concat(st.s_log4j_option_prefix, path_text.get()))
                                   : Ref{};
            value = option ? Ref::steal(PyUnicode_Concat(option.get(), st.java_options_tail)) : Ref{};
        }
        if (!value) return {};
        PyTuple_SET_ITEM(values.get(), i, value.release());
    }
    return values;
}

}  // namespace ruk
