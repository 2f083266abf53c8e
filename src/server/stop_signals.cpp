// The stop handlers.
#include "server/stop_signals.hpp"

#include <csignal>

#include "py/call.hpp"

namespace zelweb {

namespace {

StopRequest* current = nullptr;  // the main thread's serve, if any
PyObject* stop_type = nullptr;   // made once, never freed

PyObject* on_stop_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (current) {
        ++current->signals;
        current->last = nargs > 0 ? static_cast<int>(PyLong_AsLong(args[0])) : SIGTERM;
        PyErr_Clear();
    }
    PyErr_SetNone(stop_type);
    return nullptr;
}

PyMethodDef stop_def = {
    "stop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(on_stop_signal)),
    METH_FASTCALL, nullptr};

// signal.signal(number, handler): the previous handler, or null with the
// error set (ValueError off the main thread).
Ref set_handler(PyObject* signal_module, int number, PyObject* handler) {
    Ref n = Ref::steal(PyLong_FromLong(number));
    if (!n) return Ref();
    return call_method_named(signal_module, "signal", n.get(), handler);
}

// The handler set for `number`; the previous one, or null with the error
// set. signal.signal first runs the handlers of signals that have come: a
// stop signal that comes while a worker just forked sets up runs the
// handler it inherited, for a serve that is not its own. `missed` says so,
// and the handler is set all the same.
Ref install(PyObject* signal_module, int number, PyObject* handler, bool& missed) {
    Ref previous = set_handler(signal_module, number, handler);
    if (previous || !stop_type || !PyErr_ExceptionMatches(stop_type)) return previous;
    PyErr_Clear();
    missed = true;
    return set_handler(signal_module, number, handler);
}

}  // namespace

StopSignals::StopSignals(StopRequest& request) : outer_(current) {
    if (!stop_type)
        stop_type = PyErr_NewException("zelweb.ServerStop", PyExc_BaseException, nullptr);
    Ref module = stop_type ? Ref::steal(PyImport_ImportModule("signal")) : Ref();
    Ref handler = module ? Ref::steal(PyCFunction_NewEx(&stop_def, nullptr, nullptr)) : Ref();
    bool missed = false;
    if (handler) previous_int_ = install(module.get(), SIGINT, handler.get(), missed);
    if (previous_int_) previous_term_ = install(module.get(), SIGTERM, handler.get(), missed);
    if (!previous_term_) {
        PyErr_Clear();  // off the main thread: no stop by signal
        if (previous_int_) set_handler(module.get(), SIGINT, previous_int_.get());
        PyErr_Clear();
        return;
    }
    signal_module_ = std::move(module);
    current = &request;
    // The stop that came meanwhile comes again, to this serve.
    if (missed) std::raise(SIGTERM);
}

StopSignals::~StopSignals() {
    if (!signal_module_ || interpreter_finalizing()) return;
    SavedError pending;
    set_handler(signal_module_.get(), SIGINT, previous_int_.get());
    set_handler(signal_module_.get(), SIGTERM, previous_term_.get());
    PyErr_Clear();
    if (!pending.empty()) pending.restore_copy();
    current = outer_;
}

bool take_stop() {
    if (!stop_type || !PyErr_ExceptionMatches(stop_type)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace zelweb
