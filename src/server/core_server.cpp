// One process of serve on plain TCP: the core holds the connections, a
// fixed number of application threads serve the requests it hands over,
// and the thread that called serve waits for a stop signal.
//
// The threads and serve share a CoreServer through a capsule, so that a
// thread still in a route after serve has returned keeps it alive.
#include "server/core_server.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "connection/channel.hpp"
#include "connection/clock.hpp"
#include "connection/connection.hpp"
#include "connection/session.hpp"
#include "connection/static_reply.hpp"
#include "core/engine.hpp"
#include "core/static_answer.hpp"
#include "parse/request_head.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/served_app.hpp"
#include "server/stop_signals.hpp"

namespace zelweb {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* capsule_name = "zelweb.serve.core";

// The application threads and what they share, under the interpreter lock
// unless said otherwise.
struct CoreServer {
    CoreServer() = default;
    CoreServer(const CoreServer&) = delete;
    CoreServer& operator=(const CoreServer&) = delete;
    ~CoreServer() {
        if (engine) engine->release();
        std::free(controls);
    }

    Engine* engine = nullptr;
    ServedApp served;
    bool stopping = false;  // read without the interpreter lock by static answers: atomically
    SessionControl* controls = nullptr;  // one per thread, for the uploads of a stuck route
    long thread_count = 0;
};

void destroy(PyObject* capsule) {
    delete static_cast<CoreServer*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// A job's connection, from the core's slot.
void lend(const Job& job, const CoreServer& server, Connection& c) {
    c.received = job.received;
    c.may_wait_for_body = !job.body_read;
    c.head_size = job.head_size;
    c.head_began = Clock::time_point(std::chrono::milliseconds(job.head_began_ms));
    c.limits = Limits::extended;
    c.upload_prefix = server.served.options().upload_prefix;
    c.max_body = server.served.options().max_body;
    format_peer_host(job.peer, c.peer.host, sizeof c.peer.host);
    c.peer.port = job.peer.port;
}

// Answers a job that asks for a static file, without the interpreter lock:
// planned in `buffer`, sent as far as the socket takes it, the rest in
// finish.output. False when the job is not one.
bool answer_static_job(const CoreServer& server, const Job& job, char* buffer,
                       StaticAnswer& answer, Finish& finish) {
    if (job.too_large || job.body_read || job.body_stalled) return false;
    StaticRequest request;
    request.head = std::string_view(job.buffer, job.head_size);
    request.following = job.received - job.head_size;
    const SessionOptions& options = server.served.options();
    request.keep_allowed = options.keep_alive_seconds > 0 &&
                           !__atomic_load_n(&server.stopping, __ATOMIC_RELAXED);
    request.date_line = date_line();
    request.now = static_cast<int64_t>(std::time(nullptr));
    if (!plan_static_answer(*options.static_site, request, buffer, answer)) return false;
    if (!send_static_answer(job.fd, answer, finish.output)) {
        finish.output.clear();  // the peer has gone
        answer.close = true;
        answer.unread_body = 0;
    }
    return true;
}

// What the core does next: the next request's first bytes moved to the
// buffer's start, or the close (after a drain of a body that still comes).
void end_static_job(const Job& job, const StaticAnswer& answer, Finish& finish) {
    if (answer.close) {
        finish.after = answer.unread_body ? After::drain : After::close;
        finish.unread_body = answer.unread_body;
        finish.leftover = 0;
        return;
    }
    size_t left = job.received - answer.consumed;
    std::memmove(job.buffer, job.buffer + answer.consumed, left);
    finish.after = After::keep;
    finish.leftover = left;
}

void log_static_job(const CoreServer& server, const Job& job, const StaticAnswer& answer) {
    char host[remote_addr_capacity];
    format_peer_host(job.peer, host, sizeof host);
    log_static_answer(server.served.options(), host, std::string_view(job.buffer, job.head_size),
                      answer, Clock::time_point(std::chrono::milliseconds(job.head_began_ms)));
}

struct ThreadStart {
    PyObject* capsule;  // a reference the thread owns
    long index;
};

// An application thread: job after job until the core stops. The jobs are
// waited for, and handed back, with the interpreter lock released.
void application_thread(void* arg) {
    ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    PyGILState_STATE gil = PyGILState_Ensure();
    auto* server = static_cast<CoreServer*>(PyCapsule_GetPointer(start.capsule, capsule_name));
    if (server) {
        Engine* engine = server->engine;
        SessionControl& control = server->controls[start.index];
        control.stopping = &server->stopping;
        // A job is handed back and the next one taken with the lock released
        // once; static answers in a row never take it (unless to log them).
        Job job, done;
        Finish finish;
        bool finished = false;
        // The WSGI objects a request lent its application, lent again to
        // this thread's next request unless the application kept them.
        Ref spare_input, spare_start_response;
        bool log = server->served.options().access_log != nullptr;
        char* buffer = server->served.options().static_site ? static_cast<char*>(std::malloc(static_answer_capacity)) : nullptr;
        StaticAnswer answer;
        RequestHead head;
        HeadFault fault = HeadFault::none;
        for (;;) {
            bool got, answered = false, head_read = false;
            Py_BEGIN_ALLOW_THREADS
                if (finished) engine->finish(done, std::move(finish));
                finished = false;
                for (;;) {
                    got = engine->take(job);
                    finish = Finish();
                    if (!got || !buffer) break;
                    answered = answer_static_job(*server, job, buffer, answer, finish);
                    if (!answered || log) break;
                    end_static_job(job, answer, finish);
                    engine->finish(job, std::move(finish));
                }
                // The head is read here too, before the lock is taken.
                if (got && !answered && !job.too_large) {
                    fault = read_request_head(std::string_view(job.buffer, job.head_size), head);
                    head_read = true;
                }
            Py_END_ALLOW_THREADS
            if (!got) break;
            if (answered) {
                log_static_job(*server, job, answer);
                end_static_job(job, answer, finish);
                done = job;
                finished = true;
                continue;
            }
            {
                CoreChannel channel(job.fd);
                if (job.body_stalled) channel.set_stalled();
                Connection c(channel, job.buffer);
                lend(job, *server, c);
                if (head_read) {
                    c.request = head;
                    c.head_fault = fault;
                    c.head_read = true;
                }
                c.spare_input = std::move(spare_input);
                c.spare_start_response = std::move(spare_start_response);
                JobEnd end;
                serve_job(server->served.app(), server->served.options(), control, c,
                          job.too_large ? HeadStatus::too_large : HeadStatus::complete, end);
                spare_input = std::move(c.spare_input);
                spare_start_response = std::move(c.spare_start_response);
                finish.after = end.after;
                finish.leftover = end.leftover;
                finish.unread_body = end.unread_body;
                finish.body_until = end.body_until;
                finish.body_start = end.body_start;
                finish.output = std::move(*channel.pending());
            }
            done = job;
            finished = true;
        }
        answer.clear();
        std::free(buffer);
    } else {
        report_ignored_in("zelweb.serve");
    }
    Py_DECREF(start.capsule);
    PyGILState_Release(gil);
}

bool start_thread(PyObject* capsule, long index) {
    auto* start = new (std::nothrow) ThreadStart{capsule, index};
    if (!start) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(capsule);
    if (PyThread_start_new_thread(application_thread, start) != PYTHREAD_INVALID_THREAD_ID)
        return true;
    delete start;
    Py_DECREF(capsule);
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return false;
}

// The connections the descriptor limit allows, the soft limit raised
// towards the hard one first when `wanted` needs more: a server should not
// fail at a limit meant for interactive shells.
uint32_t connections_allowed(long wanted) {
    rlimit limit;
    rlim_t needed = static_cast<rlim_t>(wanted) + descriptor_reserve;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return static_cast<uint32_t>(wanted);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > needed ? needed
                                                                                  : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return static_cast<uint32_t>(wanted);
    long room = static_cast<long>(limit.rlim_cur) - static_cast<long>(descriptor_reserve);
    return static_cast<uint32_t>(room > 1 ? room : 1);
}

// Sleeps a tick with the lock released; true when a stop signal came.
bool stop_came() {
    Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(Seconds(stop_check_seconds));
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() < 0) {
        if (take_stop()) return true;
        PyErr_Clear();
    }
    return false;
}

// Waits until the core holds no connection or `until`; false when a
// signal came meanwhile beyond `signals`, or the time is up.
bool wait_empty(Engine* engine, Clock::time_point until, const StopRequest& request, int signals) {
    for (;;) {
        bool empty;
        Py_BEGIN_ALLOW_THREADS
            empty = engine->wait_empty(static_cast<uint64_t>(stop_check_seconds * 1000));
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0 && !take_stop()) PyErr_Clear();
        if (empty) return true;
        if (request.signals > signals || Clock::now() >= until) return false;
    }
}

// Stops accepting, closes idle connections, lets the others finish within
// the shutdown timeout, then cuts what is left.
void stop(CoreServer* server, PyObject* listener, const ServeConfig& config,
          const StopRequest& request) {
    Engine* engine = server->engine;
    Py_BEGIN_ALLOW_THREADS
        engine->stop_accepting();
    Py_END_ALLOW_THREADS
    if (!call_method(listener, names.close)) PyErr_Clear();
    __atomic_store_n(&server->stopping, true, __ATOMIC_RELAXED);
    engine->close_idle();
    auto until = Clock::now() +
                 std::chrono::duration_cast<Clock::duration>(Seconds(config.shutdown_timeout));
    if (!wait_empty(engine, until, request, request.signals)) {
        Py_BEGIN_ALLOW_THREADS
            engine->cut_all();
        Py_END_ALLOW_THREADS
        auto last =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(stop_force_seconds));
        if (!wait_empty(engine, last, request, request.signals))
            for (long i = 0; i < server->thread_count; ++i)
                remove_abandoned_uploads(server->controls[i]);
    }
    Py_BEGIN_ALLOW_THREADS
        engine->stop();
    Py_END_ALLOW_THREADS
}

}  // namespace

bool run_core_server(const ServeConfig& config, PyObject* listener) {
    Ref number = call_method(listener, names.fileno);
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd < 0) return false;
    auto* server = new (std::nothrow) CoreServer();
    if (!server) {
        PyErr_NoMemory();
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(server, capsule_name, destroy));
    if (!capsule) {
        delete server;
        return false;
    }
    if (!server->served.set(config, listener)) return false;
    server->controls =
        static_cast<SessionControl*>(std::calloc(static_cast<size_t>(config.threads), sizeof(SessionControl)));
    if (!server->controls) {
        PyErr_NoMemory();
        return false;
    }
    for (long i = 0; i < config.threads; ++i) new (&server->controls[i]) SessionControl();
    EngineSettings settings;
    settings.listener = static_cast<int>(fd);
    settings.max_connections = connections_allowed(config.max_connections);
    settings.first_wait_ms = static_cast<uint64_t>(head_receive_seconds) * 1000;
    settings.head_receive_ms = static_cast<uint64_t>(head_receive_seconds) * 1000;
    settings.head_total_ms = static_cast<uint64_t>(head_seconds * 1000);
    settings.keep_alive_ms = static_cast<uint64_t>(config.keep_alive_seconds * 1000);
    settings.send_progress_ms = static_cast<uint64_t>(send_progress_seconds) * 1000;
    settings.drain_ms = static_cast<uint64_t>(drain_seconds * 1000);
    settings.drain_limit = drain_limit;
    settings.accept_pause_ms = static_cast<uint64_t>(accept_pause_seconds * 1000);
    settings.buffer_size = head_capacity;
    int error = 0;
    server->engine = Engine::create(settings, error);
    if (!server->engine || !server->engine->start(error)) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    StopRequest request;
    StopSignals signals(request);
    for (long i = 0; i < config.threads; ++i) {
        if (!start_thread(capsule.get(), i)) {
            if (server->thread_count == 0) {
                Py_BEGIN_ALLOW_THREADS
                    server->engine->stop();
                Py_END_ALLOW_THREADS
                return false;
            }
            report_ignored_in("zelweb.serve");  // fewer threads than asked: it still serves
            break;
        }
        ++server->thread_count;
    }
    while (!stop_came()) {
    }
    stop(server, listener, config, request);
    return true;
}

}  // namespace zelweb
