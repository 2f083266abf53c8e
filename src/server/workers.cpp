// The parent of serve's worker processes.
#include "server/workers.hpp"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/process.hpp"
#include "server/stop_signals.hpp"
#include "server/worker_uploads.hpp"

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
        Ref stream = standard_stream(name);
        if (stream && !call_method(stream.get(), names.flush)) PyErr_Clear();
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
// caller of serve. `signals` is the mask to restore (see spawn).
[[noreturn]] void worker_main(PyObject* os, ServeConfig& config, PyObject* listener,
                              const sigset_t& signals) {
    pthread_sigmask(SIG_SETMASK, &signals, nullptr);
    mark_worker_uploads(config, static_cast<long>(getpid()));
    bool ok = run_server(config, listener);
    if (!ok) report_ignored_in("zelweb.serve");
    flush_standard_streams();
    Ref status = Ref::steal(PyLong_FromLong(ok ? 0 : 1));
    if (status) call_method_named(os, "_exit", status.get());
    std::_Exit(ok ? 0 : 1);
}

// The workers, from their forks to the end of the last one: the parent's
// whole life in serve.
class Parent {
public:
    Parent(ServeConfig& config, PyObject* listener, PyObject* os, Worker* workers,
           StopRequest& request)
        : config_(config), listener_(listener), os_(os), workers_(workers), request_(request) {}

    // Forks every worker. False with the failed fork's error kept (see
    // result): those already forked are asked to stop.
    bool fork_all() {
        for (long i = 0; i < config_.workers; ++i) {
            if (!spawn(workers_[i])) {
                keep_fork_error();
                if (request_.signals == 0) request_.signals = 1;
                return false;
            }
        }
        return true;
    }

    // Until every worker has ended: stop signals passed on, a worker that
    // ends replaced unless the server stops, the files of each removed.
    void watch() {
        Ref no_hang = Ref::steal(PyLong_FromLong(WNOHANG));
        Ref any = Ref::steal(PyLong_FromLong(-1));
        if (!no_hang || !any) {
            keep_fork_error();  // nothing can be awaited: end them, unawaited
            signal_all(SIGKILL);
            return;
        }
        while (alive_ > 0) {
            pass_stop_signals();
            if (request_.signals > 0 && Clock::now() >= kill_at_) signal_all(SIGKILL);
            // Polled: a signal whose handler has not run yet would not wake
            // a blocking wait, which could then last for ever.
            Ref ended = call_method_named(os_, "waitpid", any.get(), no_hang.get());
            if (!ended) {
                if (take_stop()) continue;
                if (PyErr_ExceptionMatches(PyExc_ChildProcessError)) {
                    PyErr_Clear();
                    return;
                }
                report_ignored_in("zelweb.serve");
                pause(stop_check_seconds);
                continue;
            }
            long pid = PyLong_AsLong(PyTuple_GET_ITEM(ended.get(), 0));
            if (pid == 0)
                pause(stop_check_seconds);
            else
                worker_ended(pid);
        }
    }

    // True once the server stopped as asked; false with the error that left
    // it without workers: a fork that failed.
    bool result() {
        if (!error_type_) return true;
        PyErr_Restore(error_type_.release(), error_value_.release(), error_tb_.release());
        return false;
    }

private:
    bool spawn(Worker& w) {
        flush_standard_streams();  // nothing buffered may be written twice
        // A stop signal passed on to a worker that has not yet returned from
        // its fork would be dropped with the signals its interpreter clears
        // there: the child takes them once it is its own.
        sigset_t stops, signals;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, &signals);
        Ref pid = call_method_named(os_, "fork");
        long number = pid ? PyLong_AsLong(pid.get()) : -1;
        if (number == 0) worker_main(os_, config_, listener_, signals);
        pthread_sigmask(SIG_SETMASK, &signals, nullptr);
        if (!pid) return false;
        w.pid = number;
        w.born = Clock::now();
        ++alive_;
        return true;
    }

    // The pending error, kept for result() in place of any kept before.
    void keep_fork_error() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        error_type_ = Ref::steal(type);
        error_value_ = Ref::steal(value);
        error_tb_ = Ref::steal(traceback);
    }

    void signal_all(int number) {
        Ref n = Ref::steal(PyLong_FromLong(number));
        for (long i = 0; n && i < config_.workers; ++i) {
            Ref pid = workers_[i].pid ? Ref::steal(PyLong_FromLong(workers_[i].pid)) : Ref();
            if (pid && !call_method_named(os_, "kill", pid.get(), n.get())) PyErr_Clear();
        }
        PyErr_Clear();
    }

    // The first stop signal closes the parent's listener and starts the
    // count to SIGKILL; every one is passed on.
    void pass_stop_signals() {
        if (request_.signals <= passed_) return;
        if (passed_ == 0) {
            if (!call_method(listener_, names.close)) PyErr_Clear();
            kill_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          Seconds(config_.shutdown_timeout + kill_grace_seconds));
        }
        signal_all(request_.last ? request_.last : SIGTERM);
        passed_ = request_.signals;
    }

    void worker_ended(long pid) {
        for (long i = 0; i < config_.workers; ++i) {
            if (workers_[i].pid != pid) continue;
            workers_[i].pid = 0;
            --alive_;
            remove_worker_uploads(config_, pid);
            if (request_.signals == 0) replace(workers_[i]);
            return;
        }
    }

    // A worker that ended while the server goes on is forked again; one that
    // died young waits first, so that it is not forked in a loop. A fork
    // that fails is reported, or kept when no worker is left to serve.
    void replace(Worker& w) {
        if (Clock::now() - w.born < Seconds(worker_respawn_seconds)) pause(worker_respawn_seconds);
        if (request_.signals > 0 || spawn(w)) return;
        if (alive_ > 0)
            report_ignored_in("zelweb.serve");
        else
            keep_fork_error();
    }

    ServeConfig& config_;
    PyObject* listener_;
    PyObject* os_;
    Worker* workers_;
    StopRequest& request_;
    long alive_ = 0;
    int passed_ = 0;  // stop signals passed on
    Clock::time_point kill_at_{};
    Ref error_type_, error_value_, error_tb_;  // a fork's failure, for result()
};

}  // namespace

bool run_workers(ServeConfig& config, PyObject* listener) {
    Ref os = module_global(names.g_os);
    if (!os) return false;
    std::unique_ptr<Worker[]> workers(new (std::nothrow)
                                          Worker[static_cast<size_t>(config.workers)]);
    if (!workers) {
        PyErr_NoMemory();
        return false;
    }
    StopRequest request;
    StopSignals signals(request);
    Parent parent(config, listener, os.get(), workers.get(), request);
    parent.fork_all();
    parent.watch();
    return parent.result();
}

}  // namespace zelweb
