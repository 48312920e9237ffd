// The Java check, and the export of the chosen Java (JAVA_HOME, PATH).
#include "java_env.hpp"

#include "messages.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"

namespace ruk {
namespace {

// ", ".join(str(v) for v in versions)
Ref join_versions(PyObject* versions) {
    Ref iterator = Ref::steal(PyObject_GetIter(versions));
    if (!iterator) return {};
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return {};
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return Ref::steal(PyUnicode_Join(state().s_comma_space, texts.get()));
}

// True when `entry` is already the first entry of `path_value` (os.pathsep-separated).
int is_first_path_entry(PyObject* path_value, PyObject* entry, PyObject* separator) {
    if (!PyUnicode_Check(path_value) || !PyUnicode_Check(separator) || !PyUnicode_Check(entry))
        return 0;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path_value);
    Py_ssize_t end = PyUnicode_Find(path_value, separator, 0, length, 1);
    if (end == -2) return -1;
    if (end == -1) end = length;
    Ref first = Ref::steal(PyUnicode_Substring(path_value, 0, end));
    if (!first) return -1;
    return PyUnicode_Compare(first.get(), entry) == 0;
}

// Exports the chosen Java: JAVA_HOME, then its bin directory in front of PATH.
// `path` here, like `java_supported` in ensure_java_available, is read afresh
// for each use, in the order a Python caller sees the reads happen: a property
// may answer differently each time, so one read must not stand for two.
int export_java(PyObject* globals, PyObject* best_java) {
    ModuleState& st = state();
    Ref os = load_global(globals, st.s_os);
    if (!os) return -1;
    Ref environ = getattr(os.get(), st.s_environ);
    Ref java_home = environ ? getattr(best_java, st.s_path) : Ref{};
    if (!java_home || PyObject_SetItem(environ.get(), st.s_JAVA_HOME, java_home.get()) < 0) return -1;

    Ref home_for_bin = getattr(best_java, st.s_path);
    if (!home_for_bin) return -1;
    Ref os_path = getattr(os.get(), st.s_path);
    if (!os_path) return -1;
    Ref bin_path = path_join(os_path.get(), home_for_bin.get(), st.s_bin);
    if (!bin_path) return -1;
    Ref separator = getattr(os.get(), st.s_pathsep);
    if (!separator) return -1;
    Ref environ_get = getattr(environ.get(), st.s_get);
    if (!environ_get) return -1;
    Ref current = Ref::steal(PyObject_Call(environ_get.get(), st.path_get_args, nullptr));
    if (!current) return -1;
    int has_path = PyObject_IsTrue(current.get());
    if (has_path < 0) return -1;
    // An unset or empty PATH gets the bin directory alone: "<bin>:" would end
    // in an empty entry, which means the working directory.
    if (!has_path) return PyObject_SetItem(environ.get(), st.s_PATH, bin_path.get());
    // Prepending on every request (cached sessions too) would grow PATH
    // without bound in a long-running process; once in front is enough.
    int already_first = is_first_path_entry(current.get(), bin_path.get(), separator.get());
    if (already_first != 0) return already_first < 0 ? -1 : 0;
    Ref prefixed = Ref::steal(PyNumber_Add(bin_path.get(), separator.get()));
    if (prefixed) prefixed = Ref::steal(PyNumber_Add(prefixed.get(), current.get()));
    if (!prefixed) return -1;
    return PyObject_SetItem(environ.get(), st.s_PATH, prefixed.get());
}

}  // namespace

PyObject* ensure_java_available(PyObject* globals, PyObject* const*) {
    ModuleState& st = state();
    Ref functions[3];
    if (import_siblings(globals, {Sibling::get_pyspark_info, Sibling::find_all_java_installations,
                                  Sibling::select_best_java},
                        functions) < 0)
        return nullptr;

    Ref pyspark = call_sibling<Sibling::get_pyspark_info>(functions[0].get());
    if (!pyspark || raise_runtime_error_unless(globals, pyspark.get(), messages::pyspark_missing) < 0)
        return nullptr;

    Ref all_java = call_sibling<Sibling::find_all_java_installations>(functions[1].get());
    if (!all_java) return nullptr;
    Ref supported_for_selection = getattr(pyspark.get(), st.s_java_supported);
    if (!supported_for_selection) return nullptr;
    Ref best_java = call_sibling<Sibling::select_best_java>(functions[2].get(), all_java.get(),
                                                            supported_for_selection.get());
    if (!best_java) return nullptr;
    int found = PyObject_IsTrue(best_java.get());
    if (found < 0) return nullptr;
    if (found) {
        if (export_java(globals, best_java.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    Ref supported_for_message = getattr(pyspark.get(), st.s_java_supported);
    Ref supported_text = supported_for_message ? join_versions(supported_for_message.get()) : Ref{};
    if (!supported_text) return nullptr;
    Ref error_class = load_global(globals, st.s_RukRuntimeError);
    if (!error_class) return nullptr;
    Ref version = getattr(pyspark.get(), st.s_version);
    Ref version_text = version ? Ref::steal(PyObject_Format(version.get(), st.s_empty)) : Ref{};
    if (!version_text) return nullptr;
    Ref major_minor = getattr(pyspark.get(), st.s_major_minor);
    Ref major_minor_text =
        major_minor ? Ref::steal(PyObject_Format(major_minor.get(), st.s_empty)) : Ref{};
    if (!major_minor_text) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat(messages::no_compatible_java, version_text.get(),
                                                  major_minor_text.get(), supported_text.get(),
                                                  messages::no_compatible_java_tail));
    if (!message) return nullptr;
    Ref error = call(error_class.get(), message.get());
    if (error) raise_object(error.get());
    return nullptr;
}

}  // namespace ruk
