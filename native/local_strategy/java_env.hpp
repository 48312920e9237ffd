// The Java check and export (java_env.cpp).
#pragma once

#include "refs.hpp"

namespace ruk {

// _ensure_java_available(): the Java that java_compat chooses for the
// installed PySpark becomes JAVA_HOME, its bin directory first on PATH;
// RukRuntimeError when PySpark or a supported Java is missing. A body of
// function_object.hpp: the function's globals, no arguments; None, or
// nullptr with an exception set.
PyObject* ensure_java_available(PyObject* globals, PyObject* const* args);

}  // namespace ruk
