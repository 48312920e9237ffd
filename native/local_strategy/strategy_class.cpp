// The LocalStrategy class: its methods' specs and docstrings, built as a class statement builds a class.
#include "strategy_class.hpp"

#include "entry_points.hpp"
#include "function_object.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "services.hpp"

namespace ruk {
namespace {

constexpr const char doc_LocalStrategy[] =
    "\n"
    "    Local embedded Spark strategy.\n"
    "\n"
    "    Creates an in-process PySpark session with local[*] master.\n"
    "    Best for development, testing, and small-medium workloads.\n"
    "\n"
    "    Configuration:\n"
    "    {\n"
    "        \"master\": \"local[*]\",  # optional, defaults to local[*]\n"
    "        \"spark.driver.memory\": \"4g\",  # optional\n"
    "        \"spark.executor.memory\": \"4g\",  # optional\n"
    "        # ... any other Spark configs\n"
    "    }\n"
    "    ";
constexpr const char doc_validate_config[] =
    "\n"
    "        Validate local strategy configuration.\n"
    "\n"
    "        Local strategy is flexible - no required fields.\n"
    "        ";
constexpr const char doc_get_spark_session[] =
    "\n"
    "        Create or reuse local Spark session (BLAZING FAST).\n"
    "\n"
    "        Creates an embedded PySpark session with optimized configuration for speed.\n"
    "        Implements session caching to reuse existing sessions.\n"
    "\n"
    "        MUR v0.5.3: Uses direct JAR paths instead of spark.jars.packages to avoid\n"
    "        verbose Ivy output. JARs are downloaded once and cached in ~/.mur/jdbc_jars/\n"
    "\n"
    "        :param adapter_types: Set of adapter types that need JDBC drivers (optional, for API compatibility)\n"
    "        :returns: Initialized SparkSession\n"
    "        :raises RukRuntimeError: If session creation fails\n"
    "        ";
constexpr const char doc_get_jdbc_jars[] =
    "\n"
    "        Discover ALL JDBC JAR files from project cache at runtime.\n"
    "\n"
    "        v0.5.96: Dynamic discovery - finds all *.jar files in .mur/jdbc_jars/\n"
    "        This enables project folder portability (move folder → JARs still work).\n"
    "\n"
    "        JARs are downloaded via 'mur target sync' command.\n"
    "\n"
    "        :param cache_dir: Directory to look for JAR files (ignored, uses project dir)\n"
    "        :returns: List of JAR file absolute paths\n"
    "        ";
constexpr const char doc_close[] =
    "\n"
    "        Close Spark session after execution.\n"
    "\n"
    "        By default, closes the session to free resources and prevent blocking other models.\n"
    "        Session caching can be enabled by setting MUR_SPARK_KEEP_ALIVE=1 for faster\n"
    "        consecutive runs within the same Python process.\n"
    "\n"
    "        Set MUR_SPARK_KEEP_ALIVE=1 environment variable to keep sessions alive (advanced).\n"
    "\n"
    "        :param spark: SparkSession to close (or optionally keep alive)\n"
    "        ";
constexpr const char doc_estimate_cost[] =
    "\n"
    "        Estimate cost for local execution.\n"
    "\n"
    "        Local execution is free (runs on local machine).\n"
    "\n"
    "        :param duration_minutes: Estimated query duration\n"
    "        :returns: 0.0 (free)\n"
    "        ";
constexpr const char doc_get_platform_name[] =
    "Get platform name.";
constexpr const char doc_get_jar_provisioning_config[] =
    "\n"
    "        Get Spark config for JDBC JAR provisioning using local file paths.\n"
    "\n"
    "        Local Spark uses spark.jars with local file paths from .mur/jdbc_jars/\n"
    "        for instant startup (no download at runtime).\n"
    "\n"
    "        :param adapter_types: Set of adapter types (ignored - uses all JARs found)\n"
    "        :returns: Dictionary with spark.jars config\n"
    "        ";
constexpr const char doc_test_connectivity[] =
    "\n"
    "        Test connectivity by creating a local Spark session.\n"
    "\n"
    "        :returns: Tuple of (success, message)\n"
    "        ";

constexpr ParamSpec self_param{"self", nullptr, ArgRule::Any};

// In class-namespace order. Only get_spark_session has a default.
const FunctionSpec strategy_methods[] = {
    {"validate_config", "LocalStrategy.validate_config", doc_validate_config, {self_param}, 1,
     "None", validate_config},
    {"get_spark_session", "LocalStrategy.get_spark_session", doc_get_spark_session,
     {self_param, {"adapter_types", "Optional[Set[str]]", ArgRule::ExactSetOrNone}}, 2,
     "SparkSession", get_spark_session},
    {"_get_jdbc_jars", "LocalStrategy._get_jdbc_jars", doc_get_jdbc_jars,
     {self_param, {"cache_dir", "str", ArgRule::ExactStr}}, 2, "list", get_jdbc_jars},
    {"close", "LocalStrategy.close", doc_close,
     {self_param, {"spark", "Optional[SparkSession]", ArgRule::Any}}, 2, "None", close_session},
    {"estimate_cost", "LocalStrategy.estimate_cost", doc_estimate_cost,
     {self_param, {"duration_minutes", "float", ArgRule::Double}}, 2, "float", estimate_cost},
    {"get_platform_name", "LocalStrategy.get_platform_name", doc_get_platform_name, {self_param}, 1,
     "str", get_platform_name},
    {"get_jar_provisioning_config", "LocalStrategy.get_jar_provisioning_config",
     doc_get_jar_provisioning_config,
     {self_param, {"adapter_types", "Set[str]", ArgRule::ExactSet}}, 2, "Dict[str, str]",
     get_jar_provisioning_config},
    {"test_connectivity", "LocalStrategy.test_connectivity", doc_test_connectivity, {self_param}, 1,
     "Tuple[bool, str]", test_connectivity},
};

// Bases after __mro_entries__, as a class statement resolves them.
Ref resolve_bases(PyObject* original) {
    Ref resolved;  // a list, made only once some base is replaced
    const Py_ssize_t count = PyTuple_GET_SIZE(original);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* base = PyTuple_GET_ITEM(original, i);
        if (!PyType_Check(base)) {
            Ref entries_fn = getattr(base, state().s_dunder_mro_entries);
            if (!entries_fn) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
                PyErr_Clear();
            } else {
                Ref entries = call(entries_fn.get(), original);
                if (!entries) return {};
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return {};
                }
                if (!resolved) {
                    resolved = Ref::steal(PyTuple_GetSlice(original, 0, i));
                    if (resolved) resolved = Ref::steal(PySequence_List(resolved.get()));
                    if (!resolved) return {};
                }
                if (PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0)
                    return {};
                continue;
            }
        }
        if (resolved && PyList_Append(resolved.get(), base) < 0) return {};
    }
    if (!resolved) return Ref::borrow(original);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases, or a TypeError for a conflict.
PyObject* most_derived_metaclass(PyTypeObject* winner, PyObject* bases) {
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}
}  // namespace

// Step by step as the class statement does it, so the base's metaclass
// (ABCMeta) builds the class.
Ref build_strategy_class(PyObject* globals, PyObject* module_name) noexcept {
    ModuleState& st = state();
    Ref base = load_global(globals, st.s_BaseConnectionStrategy);
    if (!base) return {};
    Ref original_bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!original_bases) return {};
    Ref bases = resolve_bases(original_bases.get());
    if (!bases) return {};

    PyObject* meta = PyTuple_GET_SIZE(bases.get())
                         ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)))
                         : reinterpret_cast<PyObject*>(&PyType_Type);
    const bool meta_is_class = PyType_Check(meta);
    if (meta_is_class) {
        meta = most_derived_metaclass(reinterpret_cast<PyTypeObject*>(meta), bases.get());
        if (!meta) return {};
    }
    Ref metaclass = Ref::borrow(meta);

    Ref ns;
    Ref prepare = getattr(metaclass.get(), st.s_dunder_prepare);
    if (prepare) {
        ns = call(prepare.get(), st.s_LocalStrategy, bases.get());
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return {};
    if (!PyMapping_Check(ns.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     meta_is_class ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
                     Py_TYPE(ns.get())->tp_name);
        return {};
    }

    Ref doc = Ref::steal(PyUnicode_FromString(doc_LocalStrategy));
    if (!doc) return {};
    if (PyObject_SetItem(ns.get(), st.s_dunder_module, module_name) < 0 ||
        PyObject_SetItem(ns.get(), st.s_dunder_qualname, st.s_LocalStrategy) < 0 ||
        PyObject_SetItem(ns.get(), st.s_dunder_doc, doc.get()) < 0)
        return {};
    for (const FunctionSpec& spec : strategy_methods) {
        PyObject* defaults = spec.body == get_spark_session ? st.spark_session_defaults : nullptr;
        Ref method = make_function(spec, globals, module_name, defaults);
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
        if (!method || !name || PyObject_SetItem(ns.get(), name.get(), method.get()) < 0) return {};
    }
    if (bases.get() != original_bases.get() &&
        PyObject_SetItem(ns.get(), st.s_dunder_orig_bases, original_bases.get()) < 0)
        return {};
    return call(metaclass.get(), st.s_LocalStrategy, bases.get(), ns.get());
}


}  // namespace ruk
