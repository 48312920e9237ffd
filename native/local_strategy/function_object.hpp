// The module's function objects: Python-function behaviour over C++ bodies.
#pragma once

#include "refs.hpp"

namespace ruk {

// How a parameter's argument is checked while it is bound, before the body runs.
enum class ArgRule {
    Any,
    ExactSet,        // type(arg) is set
    ExactSetOrNone,  // None, or type(arg) is set
    ExactStr,        // type(arg) is str
    Double,          // converted as float() would; the body only runs if that works
};

struct ParamSpec {
    const char* name;
    const char* annotation;  // nullptr: the parameter is not annotated (self)
    ArgRule rule;
};

// A body receives the function's globals and one borrowed argument per
// parameter, already bound and checked; it returns a new reference, or
// nullptr with an exception set.
using FunctionBody = PyObject* (*)(PyObject* globals, PyObject* const* args);

inline constexpr int max_params = 2;

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    ParamSpec params[max_params];
    int param_count;
    const char* return_annotation;  // nullptr: no annotations at all
    FunctionBody body;
};

// Creates the function type once per process. -1 with an exception set on failure.
int init_function_type() noexcept;

// A new function object for `spec`, reading its globals from `globals`
// (strong reference kept) and binding `defaults` (a tuple, or nullptr for none).
Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* module_name,
                  PyObject* defaults) noexcept;

}  // namespace ruk
