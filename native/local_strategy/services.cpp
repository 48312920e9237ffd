// Strategy services: configuration and platform queries, JDBC JAR discovery, connectivity test.
#include "services.hpp"

#include "messages.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

namespace ruk {

// What the start would refuse, refused here too, by the start's own check.
PyObject* validate_config(PyObject* globals, PyObject* const* args) {
    if (check_strategy_input(globals, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* estimate_cost(PyObject*, PyObject* const*) {
    // The duration was converted (and so validated) while binding; running locally is free.
    return Py_NewRef(state().zero_cost);
}

PyObject* get_platform_name(PyObject*, PyObject* const*) { return Py_NewRef(state().s_local); }

namespace {

// `from ruk.compute.jar_provisioning import <name>`, then os.getcwd(), the
// project directory: how both JAR queries begin. -1 with an exception set.
int provisioning_name_and_project_dir(PyObject* globals, Sibling name, Ref& value, Ref& project_dir) {
    ModuleState& st = state();
    if (import_siblings(globals, {name}, &value) < 0) return -1;
    Ref os = load_global(globals, st.s_os);
    project_dir = os ? call_method(os.get(), st.s_getcwd) : Ref{};
    return project_dir ? 0 : -1;
}

}  // namespace

PyObject* get_jdbc_jars(PyObject* globals, PyObject* const*) {
    // The provisioning module owns the listing, so `mur jdbc list` and a
    // session always agree on which files are used.
    Ref find_project_jars, project_dir;
    if (provisioning_name_and_project_dir(globals, Sibling::find_project_jars, find_project_jars, project_dir) < 0)
        return nullptr;
    Ref jars = call_sibling<Sibling::find_project_jars>(find_project_jars.get(), project_dir.get());
    if (!jars || require_exact_type(jars.get(), &PyList_Type) < 0) return nullptr;
    return jars.release();
}

PyObject* get_jar_provisioning_config(PyObject* globals, PyObject* const* args) {
    ModuleState& st = state();
    PyObject* adapter_types = args[1];
    Ref provisioning_class, project_dir;
    if (provisioning_name_and_project_dir(globals, Sibling::LocalJARProvisioning, provisioning_class,
                                          project_dir) < 0)
        return nullptr;
    PyObject* argv[] = {project_dir.get()};
    Ref provisioning = Ref::steal(
        PyObject_Vectorcall(provisioning_class.get(), argv, 0, st.provisioning_kwnames));
    Ref result = provisioning ? call_method(provisioning.get(), st.s_get_spark_config, adapter_types)
                              : Ref{};
    if (!result || (result.get() != Py_None && require_exact_type(result.get(), &PyDict_Type) < 0)) return nullptr;
    return result.release();
}

PyObject* test_connectivity(PyObject* globals, PyObject* const* args) {
    ModuleState& st = state();
    PyObject* self = args[0];
    Ref spark_session;
    if (import_from(globals, st.s_pyspark_sql, &st.s_SparkSession, 1, &spark_session) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        return Py_NewRef(st.connectivity_missing);
    }

    Ref spark = call_method(self, st.s_get_spark_session_fn);
    Ref frame = spark ? call_method(spark.get(), st.s_sql, st.s_select_one) : Ref{};
    Ref rows = frame ? call_method(frame.get(), st.s_collect) : Ref{};
    if (rows) return Py_NewRef(st.connectivity_ok);
    if (!pending_is_exception()) return nullptr;

    PendingError error;
    Ref exception = error.as_exit_args();  // normalised (type, value, traceback)
    if (!exception) return nullptr;
    Ref text = Ref::steal(PyObject_Format(PyTuple_GET_ITEM(exception.get(), 1), st.s_empty));
    if (!text) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat(messages::connectivity_failed, text.get()));
    return message ? Py_BuildValue("(OO)", Py_False, message.get()) : nullptr;
}

}  // namespace ruk
