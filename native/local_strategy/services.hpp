// LocalStrategy's services (services.cpp): configuration and platform queries, JDBC JARs, connectivity test.
#pragma once

#include "refs.hpp"

// Bodies of function_object.hpp: each receives the function's globals and
// its bound, checked arguments (self first), and returns a new reference or
// nullptr with an exception set.
namespace ruk {

PyObject* validate_config(PyObject* globals, PyObject* const* args);
PyObject* get_jdbc_jars(PyObject* globals, PyObject* const* args);
PyObject* estimate_cost(PyObject* globals, PyObject* const* args);
PyObject* get_platform_name(PyObject* globals, PyObject* const* args);
PyObject* get_jar_provisioning_config(PyObject* globals, PyObject* const* args);
PyObject* test_connectivity(PyObject* globals, PyObject* const* args);

}  // namespace ruk
