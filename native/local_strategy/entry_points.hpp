// The session entry points (sessions.cpp): cleanup_all_spark_sessions, get_spark_session, close.
#pragma once

#include "refs.hpp"

// Bodies of function_object.hpp: each receives the function's globals and
// its bound, checked arguments (self first for methods), and returns a new
// reference or nullptr with an exception set.
namespace ruk {

PyObject* cleanup_all_spark_sessions(PyObject* globals, PyObject* const* args);
PyObject* get_spark_session(PyObject* globals, PyObject* const* args);
PyObject* close_session(PyObject* globals, PyObject* const* args);

}  // namespace ruk
