// The resource tracker's two attributes, set to None before a start.
#include "resource_tracker.hpp"

#include "module_state.hpp"
#include "py_helpers.hpp"

namespace ruk {

// The two attribute stores, nothing more. On CPython 3.11 they do not stop a
// tracker from starting: the module's functions (ensure_running, register)
// were bound to its tracker object at import. Reaching further would change
// the user's multiprocessing.
PyObject* disable_multiprocessing_resource_tracker(PyObject* globals, PyObject* const*) {
    ModuleState& st = state();
    Ref multiprocessing = import_module(globals, st.s_multiprocessing);
    if (!multiprocessing) return nullptr;
    // Best effort: any Exception from here on is dropped.
    Ref tracker;
    if (import_from(globals, st.s_multiprocessing, &st.s_resource_tracker, 1, &tracker) == 0 &&
        PyObject_SetAttr(tracker.get(), st.s_tracker_attr, Py_None) == 0 &&
        PyObject_SetAttr(tracker.get(), st.s_fd, Py_None) == 0)
        Py_RETURN_NONE;
    if (!pending_is_exception()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

}  // namespace ruk
