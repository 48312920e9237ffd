// The LocalStrategy class, built when the module is imported.
#pragma once

#include "refs.hpp"

namespace ruk {

// `class LocalStrategy(BaseConnectionStrategy): ...` as a class statement in
// the module would run it: the base read from `globals`, the most derived
// metaclass of the bases and its __prepare__, then __module__ (`module_name`),
// __qualname__, __doc__ and the methods in order. The methods read `globals`
// at call time. Empty with an exception set on failure.
Ref build_strategy_class(PyObject* globals, PyObject* module_name) noexcept;

}  // namespace ruk
