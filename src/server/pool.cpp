// The accept loop of one serve process and its pool of connection threads.
//
// The loop and the threads share a Pool through a capsule, so that a thread
// still finishing after serve has returned keeps it alive. The queue and the
// counters are guarded by the pool's mutex, taken with or without the
// interpreter lock but never held while waiting for it; the list of sessions
// and the stop flag seen by sessions are touched under the interpreter lock.
#include "server/pool.hpp"

#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "connection/session.hpp"
#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/accept_pause.hpp"
#include "server/served_app.hpp"
#include "server/stop_signals.hpp"

namespace zelweb {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* capsule_name = "zelweb.serve.pool";

// A session's entry in the pool's list, on its thread's stack.
struct Slot {
    SessionControl control;
    Slot *prev = nullptr, *next = nullptr;
};

struct Accepted {
    PyObject* con;   // strong
    PyObject* addr;  // strong
};

class Pool {
public:
    explicit Pool(const ServeConfig& config) : max_connections_(config.max_connections) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() {
        while (count_ > 0) {
            Accepted a = pop();
            Py_DECREF(a.con);
            Py_DECREF(a.addr);
        }
        std::free(queue_);
    }

    bool allocate() {
        queue_ = static_cast<Accepted*>(
            std::calloc(static_cast<size_t>(max_connections_), sizeof(Accepted)));
        if (!queue_) PyErr_NoMemory();
        return queue_ != nullptr;
    }

    bool set(const ServeConfig& config, PyObject* listener) { return served_.set(config, listener); }

    // The accept loop's side, under the interpreter lock.

    // Waits until fewer than max_connections are served. False: a stop.
    bool wait_for_room() {
        for (;;) {
            bool room;
            Py_BEGIN_ALLOW_THREADS
                {  // the mutex is let go before the interpreter lock is taken back
                    std::unique_lock<std::mutex> lock(m_);
                    room = room_.wait_for(lock, Seconds(stop_check_seconds),
                                          [&] { return active_ < max_connections_; });
                }
            Py_END_ALLOW_THREADS
            if (PyErr_CheckSignals() < 0) {
                if (take_stop()) return false;
                PyErr_Clear();
            }
            if (room) return true;
        }
    }

    // Queues a connection; true when a thread must be started to take it.
    bool queue(PyObject* con, PyObject* addr) {
        Py_INCREF(con);
        Py_INCREF(addr);
        bool more_threads;
        {
            std::lock_guard<std::mutex> lock(m_);
            queue_[(first_ + count_) % static_cast<size_t>(max_connections_)] = {con, addr};
            ++count_;
            ++active_;
            more_threads = count_ > static_cast<size_t>(waiting_);
        }
        work_.notify_one();
        return more_threads;
    }

    void begin_stop() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stopping_ = true;
        }
        work_.notify_all();
    }

    // The sessions still serving give up their upload files.
    void remove_abandoned_uploads_all() {
        for (Slot* s = sessions_; s; s = s->next) remove_abandoned_uploads(s->control);
    }

    // Ends the sessions waiting for a next request (all of them, when
    // `every` is set): their receive sees the end at once.
    void shut_sessions(bool every) {
        for (Slot* s = sessions_; s; s = s->next)
            if (s->control.fd >= 0 && (every || s->control.idle))
                ::shutdown(s->control.fd, SHUT_RDWR);
    }

    // Waits until no connection is served or `until`; false when a signal
    // came meanwhile beyond `signals`, or the time is up.
    bool wait_finished(Clock::time_point until, const StopRequest& request, int signals) {
        for (;;) {
            bool done;
            Py_BEGIN_ALLOW_THREADS
                {
                    std::unique_lock<std::mutex> lock(m_);
                    done = finished_.wait_for(lock, Seconds(stop_check_seconds),
                                              [&] { return active_ == 0; });
                }
            Py_END_ALLOW_THREADS
            if (PyErr_CheckSignals() < 0 && !take_stop()) PyErr_Clear();
            if (done) return true;
            if (request.signals > signals || Clock::now() >= until) return false;
            shut_sessions(false);  // a session that finished a request may be waiting now
        }
    }

    // A pool thread's side.

    void thread_begins() {
        std::lock_guard<std::mutex> lock(m_);
        ++threads_;
    }

    // The last thread to go leaves the process as idle as it was: what the
    // connections left is collected and handed back to the system. It runs
    // only once no connection has come for pool_idle_seconds.
    void thread_ends() {
        bool last;
        {
            std::lock_guard<std::mutex> lock(m_);
            last = --threads_ == 0 && active_ == 0;
        }
#ifdef __GLIBC__
        if (last) {
            PyGC_Collect();
            Py_BEGIN_ALLOW_THREADS
                malloc_trim(0);
            Py_END_ALLOW_THREADS
        }
#else
        (void)last;
#endif
    }

    // The next connection, waiting for one up to pool_idle_seconds; false
    // when there is none (the thread then ends).
    bool take(Accepted& next) {
        bool got = false;
        Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> lock(m_);
                ++waiting_;
                work_.wait_for(lock, Seconds(pool_idle_seconds),
                               [&] { return count_ > 0 || stopping_; });
                --waiting_;
                if (count_ > 0) {
                    next = pop();
                    got = true;
                }
            }
        Py_END_ALLOW_THREADS
        return got;
    }

    void serve(const Accepted& a) {
        Slot slot;
        slot.control.stopping = &stopping_;
        link(slot);
        serve_connection(served_.app(), a.con, a.addr, served_.options(), slot.control);
        unlink(slot);
        {
            std::lock_guard<std::mutex> lock(m_);
            --active_;
        }
        room_.notify_one();
        finished_.notify_all();
    }

private:
    Accepted pop() {
        Accepted a = queue_[first_];
        first_ = (first_ + 1) % static_cast<size_t>(max_connections_);
        --count_;
        return a;
    }
    void link(Slot& s) {
        s.next = sessions_;
        if (sessions_) sessions_->prev = &s;
        sessions_ = &s;
    }
    void unlink(Slot& s) {
        if (s.prev)
            s.prev->next = s.next;
        else
            sessions_ = s.next;
        if (s.next) s.next->prev = s.prev;
    }

    const long max_connections_;
    ServedApp served_;

    std::mutex m_;
    std::condition_variable work_, room_, finished_;
    Accepted* queue_ = nullptr;
    size_t first_ = 0, count_ = 0;
    long active_ = 0, waiting_ = 0, threads_ = 0;
    bool stopping_ = false;
    Slot* sessions_ = nullptr;  // under the interpreter lock
};

void destroy_pool(PyObject* capsule) {
    delete static_cast<Pool*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// A pool thread: connection after connection until it has waited in vain.
// A thread of the interpreter's own thread module rather than a
// threading.Thread: thousands of those ending at once queue on threading's
// bookkeeping lock for seconds. Like a daemon thread it does not hold the
// process once serve has returned. `capsule` is a reference it owns.
void pool_thread(void* capsule) {
    PyGILState_STATE gil = PyGILState_Ensure();
    Pool* pool =
        static_cast<Pool*>(PyCapsule_GetPointer(static_cast<PyObject*>(capsule), capsule_name));
    Accepted next;
    while (pool && pool->take(next)) {
        pool->serve(next);
        Py_DECREF(next.con);
        Py_DECREF(next.addr);
    }
    if (pool)
        pool->thread_ends();
    else
        report_ignored_in("zelweb.serve");
    Py_DECREF(static_cast<PyObject*>(capsule));
    PyGILState_Release(gil);
}

bool start_thread(PyObject* capsule, Pool* pool) {
    Py_INCREF(capsule);
    pool->thread_begins();
    if (PyThread_start_new_thread(pool_thread, capsule) != PYTHREAD_INVALID_THREAD_ID) return true;
    pool->thread_ends();
    Py_DECREF(capsule);
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return false;
}

// Waits until the listening socket has a connection to accept. False: a
// stop signal. The wait is cut in short ticks: a signal that the kernel hands
// to another thread only reaches its handler when the main thread checks.
bool wait_for_connection(int fd) {
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready;
        Py_BEGIN_ALLOW_THREADS
            ready = poll(&p, 1, static_cast<int>(stop_check_seconds * 1000));
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) {
            if (take_stop()) return false;
            PyErr_Clear();
        }
        if (ready != 0) return true;  // readable, or an error accept will tell
    }
}

// Stops accepting, ends idle connections, lets the others finish within the
// shutdown timeout, then cuts what is left.
void stop(Pool* pool, PyObject* listener, const ServeConfig& config, const StopRequest& request) {
    if (!call_method(listener, names.close)) PyErr_Clear();
    pool->begin_stop();
    pool->shut_sessions(false);
    int signals = request.signals;
    auto until = Clock::now() +
                 std::chrono::duration_cast<Clock::duration>(Seconds(config.shutdown_timeout));
    if (pool->wait_finished(until, request, signals)) return;
    pool->shut_sessions(true);
    auto last =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(stop_force_seconds));
    if (!pool->wait_finished(last, request, request.signals)) pool->remove_abandoned_uploads_all();
}

}  // namespace

bool run_thread_pool(const ServeConfig& config, PyObject* listener) {
    Pool* pool = new (std::nothrow) Pool(config);
    if (!pool) {
        PyErr_NoMemory();
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(pool, capsule_name, destroy_pool));
    if (!capsule) {
        delete pool;
        return false;
    }
    if (!pool->allocate() || !pool->set(config, listener)) return false;
    // Non-blocking, so that an accept another worker process won the race
    // for comes back at once.
    Ref number = call_method(listener, names.fileno);
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd < 0 || !call_method(listener, names.setblocking, Py_False)) return false;
    StopRequest request;
    StopSignals signals(request);
    for (;;) {
        if (!pool->wait_for_room() || !wait_for_connection(static_cast<int>(fd))) break;
        Ref pair = call_method(listener, names.accept);
        if (!pair) {
            if (take_stop()) break;
            if (PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
                PyErr_Clear();
                continue;
            }
            pause_if_exhausted();
            PyErr_Clear();  // a connection that failed before it began
            continue;
        }
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) continue;
        if (pool->queue(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)) &&
            !start_thread(capsule.get(), pool)) {
            if (take_stop()) break;
            report_ignored_in("zelweb.serve");  // the connection waits for a thread to free up
        }
    }
    stop(pool, listener, config, request);
    return true;
}

}  // namespace zelweb
