// The bodies behind the module's functions and LocalStrategy's methods.
#pragma once

#include "refs.hpp"

// Each receives the function's globals and its bound, checked arguments
// (self first for methods); each returns a new reference or nullptr with an
// exception set.
namespace ruk {

// Java and process environment (java_env.cpp)
PyObject* disable_multiprocessing_resource_tracker(PyObject* globals, PyObject* const* args);
PyObject* ensure_java_available(PyObject* globals, PyObject* const* args);

// Spark session management (sessions.cpp)
PyObject* cleanup_all_spark_sessions(PyObject* globals, PyObject* const* args);
PyObject* get_spark_session(PyObject* globals, PyObject* const* args);
PyObject* close_session(PyObject* globals, PyObject* const* args);

// Strategy services (services.cpp)
PyObject* validate_config(PyObject* globals, PyObject* const* args);
PyObject* get_jdbc_jars(PyObject* globals, PyObject* const* args);
PyObject* estimate_cost(PyObject* globals, PyObject* const* args);
PyObject* get_platform_name(PyObject* globals, PyObject* const* args);
PyObject* get_jar_provisioning_config(PyObject* globals, PyObject* const* args);
PyObject* test_connectivity(PyObject* globals, PyObject* const* args);

}  // namespace ruk
