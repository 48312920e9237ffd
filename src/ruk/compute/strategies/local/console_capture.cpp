// Start-up console capture: Spark's start runs with sys.stderr captured, then the noise is dropped.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

namespace ruk {
namespace {

// Serialises capture windows: two overlapping starts would otherwise each
// restore the stderr they saw, and the later restore could leave the other
// call's buffer installed for good. A nested start on the owning thread
// (a builder that itself asks for a session) runs inside the outer window.
class CaptureWindow {
public:
    CaptureWindow() noexcept {
        ModuleState& st = state();
        const unsigned long me = PyThread_get_thread_ident();
        if (st.capture_owner == me) return;
        if (!PyThread_acquire_lock(st.capture_lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(st.capture_lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
        st.capture_owner = me;
        owner_ = true;
    }
    CaptureWindow(const CaptureWindow&) = delete;
    CaptureWindow& operator=(const CaptureWindow&) = delete;
    ~CaptureWindow() { leave(); }

    void leave() noexcept {
        if (!owner_) return;
        owner_ = false;
        state().capture_owner = 0;
        PyThread_release_lock(state().capture_lock);
    }

private:
    bool owner_ = false;
};

// The action: getOrCreate, then setLogLevel("ERROR") on the new context.
Ref start_session(PyObject* builder) {
    ModuleState& st = state();
    Ref spark = call_method(builder, st.s_getOrCreate);
    if (!spark) return {};
    Ref context = getattr(spark.get(), st.s_sparkContext);
    Ref result = context ? call_method(context.get(), st.s_setLogLevel, st.s_error_level) : Ref{};
    return result ? std::move(spark) : Ref{};
}

// Prints every captured line that is not empty and carries no noise marker.
int replay_meaningful_lines(PyObject* globals, PyObject* sys, PyObject* captured) {
    ModuleState& st = state();
    Ref pieces = call_method(captured, st.s_split, st.s_newline);
    Ref iterator = pieces ? Ref::steal(PyObject_GetIter(pieces.get())) : Ref{};
    if (!iterator) return -1;
    while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref line = call_method(piece.get(), st.s_strip);
        if (!line) return -1;
        int empty = PyObject_Not(line.get());
        if (empty < 0) return -1;
        if (empty) continue;
        bool noise = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st.noise_markers) && !noise; ++i) {
            int found = PySequence_Contains(line.get(), PyTuple_GET_ITEM(st.noise_markers, i));
            if (found < 0) return -1;
            noise = found;
        }
        if (noise) continue;
        Ref print = load_global(globals, st.s_print);
        Ref stderr_now = print ? getattr(sys, st.s_stderr_) : Ref{};
        if (!stderr_now) return -1;
        PyObject* argv[] = {line.get(), stderr_now.get()};
        Ref printed = Ref::steal(PyObject_Vectorcall(print.get(), argv, 1, st.print_kwnames));
        if (!printed) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

Ref start_session_quietly(PyObject* globals, PyObject* sys, PyObject* builder) {
    ModuleState& st = state();
    Ref io = import_module(globals, st.s_io);
    if (!io) return {};

    CaptureWindow window;
    Ref original_stderr = getattr(sys, st.s_stderr_);
    Ref buffer = original_stderr ? call_method(io.get(), st.s_StringIO) : Ref{};
    if (!buffer || PyObject_SetAttr(sys, st.s_stderr_, buffer.get()) < 0) return {};

    Ref spark = start_session(builder);  // may run for seconds: the JVM starts here

    // The `finally` part: runs whether the start worked or not.
    PendingError start_error;
    // Read the buffer this capture installed, whatever sys.stderr holds now,
    // and put the real stream back even if reading fails.
    Ref captured = call_method(buffer.get(), st.s_getvalue);
    PendingError read_error;
    int restored = PyObject_SetAttr(sys, st.s_stderr_, original_stderr.get());
    window.leave();
    if (restored < 0) {
        read_error.chain_under_current();
        start_error.chain_under_current();
        return {};
    }
    if (!read_error.empty()) {
        read_error.restore();
        start_error.chain_under_current();
        return {};
    }
    if (replay_meaningful_lines(globals, sys, captured.get()) < 0) {
        start_error.chain_under_current();
        return {};
    }
    if (!start_error.empty()) {
        start_error.restore();
        return {};
    }
    return spark;
}

}  // namespace ruk
