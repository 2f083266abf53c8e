// The parent of serve's worker processes.
#include "server/workers.hpp"

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <new>
#include <thread>

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/process.hpp"
#include "server/stop_signals.hpp"

namespace zelweb {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kill_grace_seconds = 5.0;  // past shutdown_timeout, before SIGKILL

struct Worker {
    long pid = 0;  // 0: not running
    Clock::time_point born;
};

void flush_standard_streams() {
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (stream && stream != Py_None && !call_method(stream, names.flush)) PyErr_Clear();
    }
}

// Sleeps with the interpreter lock released; a stop signal comes out as
// the stop exception, taken here (the caller sees it in its request).
void pause(double seconds) {
    Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(Seconds(seconds));
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() < 0 && !take_stop()) PyErr_Clear();
}

// In the child: serves, then ends the process without going back to the
// caller of serve.
[[noreturn]] void worker_main(PyObject* os, const ServeConfig& config, PyObject* listener) {
    bool ok = run_server(config, listener);
    if (!ok) report_ignored_in("zelweb.serve");
    flush_standard_streams();
    Ref status = Ref::steal(PyLong_FromLong(ok ? 0 : 1));
    if (status) call_method_named(os, "_exit", status.get());
    std::_Exit(ok ? 0 : 1);
}

bool spawn(PyObject* os, const ServeConfig& config, PyObject* listener, Worker& w) {
    flush_standard_streams();  // nothing buffered may be written twice
    Ref pid = call_method_named(os, "fork");
    if (!pid) return false;
    long number = PyLong_AsLong(pid.get());
    if (number == 0) worker_main(os, config, listener);
    w.pid = number;
    w.born = Clock::now();
    return true;
}

void signal_all(PyObject* os, const Worker* workers, long count, int number) {
    Ref n = Ref::steal(PyLong_FromLong(number));
    for (long i = 0; n && i < count; ++i) {
        Ref pid = workers[i].pid ? Ref::steal(PyLong_FromLong(workers[i].pid)) : Ref();
        if (pid && !call_method_named(os, "kill", pid.get(), n.get())) PyErr_Clear();
    }
}

}  // namespace

bool run_workers(const ServeConfig& config, PyObject* listener) {
    Ref os = module_global(names.g_os);
    if (!os) return false;
    long count = config.workers;
    Worker* workers = new (std::nothrow) Worker[static_cast<size_t>(count)];
    if (!workers) {
        PyErr_NoMemory();
        return false;
    }
    StopRequest request;
    StopSignals signals(request);
    long alive = 0;
    for (long i = 0; i < count; ++i) {
        if (!spawn(os.get(), config, listener, workers[i])) {
            signal_all(os.get(), workers, count, SIGTERM);
            break;
        }
        ++alive;
    }
    bool ok = alive == count;
    if (!ok) request.signals = request.signals ? request.signals : 1;  // stop what started
    int passed = 0;
    Clock::time_point kill_at{};
    Ref no_hang = Ref::steal(PyLong_FromLong(WNOHANG));
    Ref any = Ref::steal(PyLong_FromLong(-1));
    if (!ok) PyErr_Clear();
    while (alive > 0 && no_hang && any) {
        bool stopping = request.signals > 0;
        if (request.signals > passed) {
            if (passed == 0) {
                if (!call_method(listener, names.close)) PyErr_Clear();
                kill_at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             Seconds(config.shutdown_timeout + kill_grace_seconds));
            }
            signal_all(os.get(), workers, count, request.last ? request.last : SIGTERM);
            passed = request.signals;
        }
        if (stopping && Clock::now() >= kill_at) signal_all(os.get(), workers, count, SIGKILL);
        // Blocking until a worker ends, or a signal; while stopping, polled.
        Ref ended =
            call_method_named(os.get(), "waitpid", any.get(),
                              stopping ? no_hang.get() : Ref::steal(PyLong_FromLong(0)).get());
        if (!ended) {
            if (take_stop()) continue;
            if (PyErr_ExceptionMatches(PyExc_ChildProcessError)) {
                PyErr_Clear();
                break;
            }
            report_ignored_in("zelweb.serve");
            pause(stop_check_seconds);
            continue;
        }
        long pid = PyLong_AsLong(PyTuple_GET_ITEM(ended.get(), 0));
        if (pid == 0) {
            pause(stop_check_seconds);
            continue;
        }
        for (long i = 0; i < count; ++i) {
            if (workers[i].pid != pid) continue;
            workers[i].pid = 0;
            --alive;
            if (request.signals > 0) break;
            // A worker that dies at once would otherwise be forked in a loop.
            if (Clock::now() - workers[i].born < Seconds(worker_respawn_seconds))
                pause(worker_respawn_seconds);
            if (request.signals == 0 && spawn(os.get(), config, listener, workers[i]))
                ++alive;
            else
                PyErr_Clear();
            break;
        }
    }
    delete[] workers;
    return true;
}

}  // namespace zelweb
