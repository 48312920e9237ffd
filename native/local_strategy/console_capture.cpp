// Start-up console capture: Spark's start runs with stderr captured, then the noise is dropped.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

namespace ruk {
namespace {

constexpr PY_TIMEOUT_T start_wait_slice_us = 50000;  // Ctrl-C reaches a waiting start this fast

// --- the stream installed as sys.stderr ----------------------------------------------

// Writes of the starting thread go to the capture buffer, everybody else's
// to the stream that was there before: every attribute is looked up on one
// of the two, by the calling thread.
struct StderrProxy {
    PyObject_HEAD
    PyObject* original;  // strong reference
    PyObject* capture;   // strong reference; null once the window has closed
    unsigned long owner; // the thread whose writes are captured
};

StderrProxy* as_proxy(PyObject* self) noexcept { return reinterpret_cast<StderrProxy*>(self); }

// New reference to the object the calling thread talks to.
PyObject* proxy_target(PyObject* self) noexcept {
    StderrProxy* p = as_proxy(self);
    PyObject* target = p->capture && PyThread_get_thread_ident() == p->owner ? p->capture : p->original;
    return Py_XNewRef(target);
}

PyObject* proxy_getattro(PyObject* self, PyObject* name) noexcept {
    Ref target = Ref::steal(proxy_target(self));
    if (!target) return PyObject_GenericGetAttr(self, name);
    return PyObject_GetAttr(target.get(), name);  // may run Python code: target is held
}

int proxy_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    Ref target = Ref::steal(proxy_target(self));
    if (!target) return PyObject_GenericSetAttr(self, name, value);
    return PyObject_SetAttr(target.get(), name, value);
}

int proxy_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_proxy(self)->original);
    Py_VISIT(as_proxy(self)->capture);
    return 0;
}

int proxy_clear(PyObject* self) noexcept {
    Py_CLEAR(as_proxy(self)->original);
    Py_CLEAR(as_proxy(self)->capture);
    return 0;
}

void proxy_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    proxy_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>("sys.stderr while a Spark session starts: the starting thread's "
                                  "writes are captured, other threads' pass through.")},
    {Py_tp_getattro, reinterpret_cast<void*>(proxy_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(proxy_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(proxy_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(proxy_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(proxy_dealloc)},
    {0, nullptr},
};

PyType_Spec proxy_spec = {
    "ruk.compute.strategies.local.StartupStderr",
    sizeof(StderrProxy),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    proxy_slots,
};

Ref new_proxy(PyObject* original, PyObject* capture) noexcept {
    PyTypeObject* type = state().capture_proxy_type;
    StderrProxy* p = PyObject_GC_New(StderrProxy, type);
    if (!p) return {};
    p->original = Py_NewRef(original);
    p->capture = Py_NewRef(capture);
    p->owner = PyThread_get_thread_ident();
    PyObject_GC_Track(p);
    return Ref::steal(reinterpret_cast<PyObject*>(p));
}

// --- fork --------------------------------------------------------------------------

// In a child forked while a start was under way on another thread: that
// thread is gone, so its window is undone here. A child of the starting
// thread itself (the JVM launch) keeps everything: it is part of the start.
PyObject* start_after_fork_in_child(PyObject*, PyObject*) noexcept {
    ModuleState& st = state();
    if (st.start_owner && st.start_owner == PyThread_get_thread_ident()) Py_RETURN_NONE;
    // Whoever held the lock is not in this process; the old lock is left as it is.
    PyThread_type_lock fresh = PyThread_allocate_lock();
    if (!fresh) return PyErr_NoMemory();
    st.start_lock = fresh;
    st.start_owner = 0;
    if (PyObject* proxy = st.capture_proxy) {
        st.capture_proxy = nullptr;
        Py_CLEAR(as_proxy(proxy)->capture);
        PyObject* original = as_proxy(proxy)->original;
        int restored = original ? PySys_SetObject("stderr", original) : 0;
        Py_DECREF(proxy);
        if (restored < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_after_fork_in_child", start_after_fork_in_child, METH_NOARGS, nullptr};

// What the first start of the process sets up (importing the module has no
// side effect), before the window can first be held: a child forked from
// then on gets a free window.
int prepare_first_start() noexcept {
    ModuleState& st = state();
    if (st.start_at_fork_registered) return 0;
    // Set first: registering may run Python code (the import of os) and let
    // another thread's first start in, which must not register again.
    st.start_at_fork_registered = true;
    if (!st.capture_proxy_type) {
        PyObject* type = PyType_FromSpec(&proxy_spec);
        if (!type) {
            st.start_at_fork_registered = false;
            return -1;
        }
        st.capture_proxy_type = reinterpret_cast<PyTypeObject*>(type);
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref register_at_fork = os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref{};
    Ref hook = register_at_fork ? Ref::steal(PyCFunction_New(&after_fork_def, nullptr)) : Ref{};
    Ref kwnames = hook ? Ref::steal(Py_BuildValue("(s)", "after_in_child")) : Ref{};
    PyObject* argv[] = {nullptr, hook.get()};
    Ref done = kwnames ? Ref::steal(PyObject_Vectorcall(register_at_fork.get(), argv + 1,
                                                        PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()))
                       : Ref{};
    if (!done) st.start_at_fork_registered = false;
    return done ? 0 : -1;
}

}  // namespace

// --- the window ----------------------------------------------------------------------

StartWindow::~StartWindow() {
    // Reached without leave() on an error path, or when the thread is torn
    // down mid-start: touches no Python object.
    if (!owner_) return;
    state().start_owner = 0;
    PyThread_release_lock(state().start_lock);
}

int StartWindow::try_enter() noexcept {
    if (held()) return 1;
    if (prepare_first_start() < 0) return -1;
    ModuleState& st = state();
    const unsigned long me = PyThread_get_thread_ident();
    if (st.start_owner == me) {
        nested_ = true;  // a start asked for from inside this thread's own start runs inside its window
        return 1;
    }
    if (!PyThread_acquire_lock(st.start_lock, NOWAIT_LOCK)) return 0;
    st.start_owner = me;
    owner_ = true;
    return 1;
}

int StartWindow::enter() noexcept {
    int entered = try_enter();
    while (entered == 0) {
        // Signal handlers run here, with the GIL: Ctrl-C ends the wait with
        // the error set and nothing held, as in threading.Lock.acquire(). The
        // wait is sliced as well: a signal that lands after this check but
        // before the wait begins would not interrupt it.
        if (Py_MakePendingCalls() < 0) return -1;
        PyLockStatus status;
        PyThread_type_lock lock = state().start_lock;
        Py_BEGIN_ALLOW_THREADS
        status = PyThread_acquire_lock_timed(lock, start_wait_slice_us, 1);
        Py_END_ALLOW_THREADS
        if (status == PY_LOCK_ACQUIRED) {
            state().start_owner = PyThread_get_thread_ident();
            owner_ = true;
            entered = 1;
        }
    }
    return entered < 0 ? -1 : 0;
}

void StartWindow::leave() noexcept {
    nested_ = false;
    if (!owner_) return;
    owner_ = false;
    ModuleState& st = state();
    st.start_owner = 0;
    PyThread_release_lock(st.start_lock);
}

namespace {

// The action: the launch when this start owns it, getOrCreate, then
// setLogLevel("ERROR") on the new context. A failure (Ctrl-C included) is
// undone here, inside the window.
Ref start_session(PyObject* builder, DriverLaunch& launch) {
    ModuleState& st = state();
    if (launch.launch() < 0) {
        launch.undo(nullptr);
        return {};
    }
    Ref spark = call_method(builder, st.s_getOrCreate);
    if (!spark) {
        launch.undo(nullptr);
        return {};
    }
    Ref context = getattr(spark.get(), st.s_sparkContext);
    Ref result = context ? call_method(context.get(), st.s_setLogLevel, st.s_error_level) : Ref{};
    if (!result) {
        launch.undo(spark.get());
        return {};
    }
    launch.started();
    return spark;
}

// What py4j logged about a Ctrl-C that ended the start, dropped from the
// captured text: the user's own traceback says it.
Ref without_interrupt_log(PyObject* globals, Ref captured) {
    Ref drop;
    if (import_siblings(globals, {Sibling::without_interrupt_log}, &drop) < 0) return {};
    return call_sibling<Sibling::without_interrupt_log>(drop.get(), captured.get());
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

// The owning window is over: the state that lets a forked child undo it goes.
void forget_open_window() noexcept {
    ModuleState& st = state();
    Py_CLEAR(st.capture_proxy);
}

}  // namespace

Ref start_session_quietly(PyObject* globals, PyObject* sys, PyObject* builder, DriverLaunch& launch,
                          const StartWindow& window) {
    ModuleState& st = state();
    Ref io = import_module(globals, st.s_io);
    if (!io) return {};

    Ref original_stderr = getattr(sys, st.s_stderr_);
    Ref buffer = original_stderr ? call_method(io.get(), st.s_StringIO) : Ref{};
    Ref proxy = buffer ? new_proxy(original_stderr.get(), buffer.get()) : Ref{};
    if (!proxy || PyObject_SetAttr(sys, st.s_stderr_, proxy.get()) < 0) return {};
    if (window.owner()) st.capture_proxy = Py_NewRef(proxy.get());

    Ref spark = start_session(builder, launch);  // may run for seconds: the JVM starts here

    // The `finally` part: runs whether the start worked or not.
    const bool interrupted = !spark && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    PendingError start_error;
    // Read the buffer this capture installed, whatever sys.stderr holds now,
    // and put the real stream back even if reading fails.
    Ref captured = call_method(buffer.get(), st.s_getvalue);
    // A failing read carries the start's error as its context, as in a `finally`.
    const bool start_error_chained = !captured && !start_error.empty();
    if (start_error_chained) start_error.chain_under_current();
    PendingError read_error;
    Py_CLEAR(as_proxy(proxy.get())->capture);  // from now on the starting thread writes through too
    int restored = PyObject_SetAttr(sys, st.s_stderr_, original_stderr.get());
    if (window.owner()) forget_open_window();
    // A session that started but cannot be handed over is undone like a failed start.
    if (restored < 0) {
        read_error.chain_under_current();
        if (!start_error_chained) start_error.chain_under_current();
        launch.undo(spark.get());
        return {};
    }
    if (!read_error.empty()) {
        read_error.restore();
        launch.undo(spark.get());
        return {};
    }
    if (interrupted) captured = without_interrupt_log(globals, std::move(captured));
    if (!captured || replay_meaningful_lines(globals, sys, captured.get()) < 0) {
        start_error.chain_under_current();
        launch.undo(spark.get());
        return {};
    }
    if (!start_error.empty()) {
        start_error.restore();
        return {};
    }
    return spark;
}

}  // namespace ruk
