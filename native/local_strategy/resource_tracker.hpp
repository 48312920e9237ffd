// The resource tracker's two attributes (resource_tracker.cpp).
#pragma once

#include "refs.hpp"

namespace ruk {

// _disable_multiprocessing_resource_tracker(): sets
// multiprocessing.resource_tracker's _resource_tracker and _fd to None, best
// effort (an Exception is dropped). A body of function_object.hpp: the
// function's globals, no arguments; None, or nullptr with an exception set.
PyObject* disable_multiprocessing_resource_tracker(PyObject* globals, PyObject* const* args);

}  // namespace ruk
