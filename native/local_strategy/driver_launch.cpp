// The driver JVM a start launches itself (or claims from a spare), and the end of exactly that JVM when the start fails.
#include "module_state.hpp"
#include "py_helpers.hpp"
#include "session_steps.hpp"

#include <unistd.h>

namespace ruk {

DriverLaunch::~DriverLaunch() { end_jvm_stderr_start(stream_, false, true); }

int DriverLaunch::prepare(PyObject* globals, PyObject* plan) {
    ModuleState& st = state();
    Ref owns = getattr(plan, st.s_owns_launch);
    int owned = owns ? PyObject_IsTrue(owns.get()) : -1;
    if (owned <= 0) return owned;
    Ref functions[2], spare[2];
    if (import_siblings(globals, {Sibling::launch, Sibling::end_launch}, functions) < 0 ||
        import_siblings(globals, {Sibling::claim_spare, Sibling::offer_spare}, spare) < 0)
        return -1;
    app_name_ = getattr(plan, st.s_app_name);
    master_ = app_name_ ? getattr(plan, st.s_master) : Ref{};
    settings_ = master_ ? getattr(plan, st.s_settings) : Ref{};
    if (!settings_) return -1;
    owned_ = true;
    launch_ = std::move(functions[0]);
    end_launch_ = std::move(functions[1]);
    claim_ = std::move(spare[0]);
    offer_ = std::move(spare[1]);
    return 0;
}

int DriverLaunch::claim_spare() {
    Ref claimed = call_sibling<Sibling::claim_spare>(claim_.get(), app_name_.get(), master_.get(), settings_.get());
    PyObject *inputs = nullptr, *spare = nullptr, *gateway = nullptr;
    int fds[2] = {-1, -1};
    if (!claimed || !PyArg_ParseTuple(claimed.get(), "OO", &inputs, &spare) ||
        (spare != Py_None && !PyArg_ParseTuple(spare, "Oii", &gateway, &fds[0], &fds[1]))) {
        if (!pending_is_exception()) return -1;
        PyErr_Clear();  // claim raises nothing else: a cold launch, as for no spare
        return 0;
    }
    spare_inputs_ = Ref::borrow(inputs);
    if (spare == Py_None) return 0;
    gateway_ = Ref::borrow(gateway);
    // Its stdout passes to ours as it comes, its stderr goes through the
    // start's noise filter: as for a JVM of our own launch.
    const bool stdout_read = adopt_jvm_output(fds[0], 1, nullptr) == 0;
    if (stdout_read && adopt_jvm_output(fds[1], 2, &stream_) == 0) return 1;
    if (!stdout_read) close(fds[1]);
    // A JVM whose output nobody reads can't serve: ended, forgotten, and launched anew.
    Ref ended = call_sibling<Sibling::end_launch>(end_launch_.get(), gateway_.get(), Py_None);
    gateway_ = Ref{};
    if (!ended && !pending_is_exception()) return -1;
    PyErr_Clear();
    return 0;
}

int DriverLaunch::launch() {
    if (!owned_) return 0;
    int claimed = claim_spare();
    if (claimed != 0) return claimed < 0 ? -1 : 0;
    int stderr_fd = open_jvm_stderr(&stream_);
    if (stderr_fd < 0) {
        owned_ = false;  // no pipe to be had: PySpark launches the JVM as it would without us
        return 0;
    }
    Ref fd = Ref::steal(PyLong_FromLong(stderr_fd));
    gateway_ = fd ? call_sibling<Sibling::launch>(launch_.get(), fd.get(), app_name_.get(), master_.get(),
                                                 settings_.get())
                  : Ref{};
    close(stderr_fd);  // the launch's processes hold it now: the end of the stream is theirs
    return gateway_ ? 0 : -1;
}

void DriverLaunch::started() noexcept {
    end_jvm_stderr_start(stream_, false, true);
    stream_ = nullptr;
}

int DriverLaunch::offer_spare(PyObject* plan) {
    if (!owned_ || undone_ || !gateway_ || !spare_inputs_) return 0;
    Ref offered = call_sibling<Sibling::offer_spare>(offer_.get(), spare_inputs_.get(), plan);
    if (offered || pending_is_exception()) PyErr_Clear();
    return PyErr_Occurred() ? -1 : 0;
}

void DriverLaunch::undo(PyObject* session) noexcept {
    if (undone_) return;
    undone_ = true;
    PendingError start_error;  // the start's own exception, put back unchanged
    Ref exit_args = start_error.as_exit_args();
    if (owned_) {
        // What the JVM prints while it is ended is no news to the user; what
        // it printed before the failure is judged as start-up output, unless
        // the user interrupted the start.
        const bool interrupted =
            exit_args && PyErr_GivenExceptionMatches(PyTuple_GET_ITEM(exit_args.get(), 0), PyExc_KeyboardInterrupt);
        end_jvm_stderr_start(stream_, true, !interrupted);
        stream_ = nullptr;
        PyObject* error = exit_args ? PyTuple_GET_ITEM(exit_args.get(), 1) : Py_None;
        Ref ended = call_sibling<Sibling::end_launch>(end_launch_.get(), gateway_ ? gateway_.get() : Py_None, error);
    } else if (session) {
        // The JVM ran before this start (or is not ours) and serves on: only the new session goes.
        Ref stopped = call_method(session, state().s_stop);
    }
    PyErr_Clear();
    start_error.restore();
}

}  // namespace ruk
