// The event-driven core of serve: one loop thread holds every connection
// that is not running the application (accepting, reading a head under its
// deadline, idling between requests, writing out a complete response,
// draining before a close) and hands a connection to a worker only once its
// head is complete. Workers take jobs, serve them and give the connection
// back with what is left to do.
//
// Free of the interpreter: the workers are whoever calls take(). The shared
// state (slots, the job queue, deadlines) is guarded by the engine's own
// mutex, never held across a system call that can wait.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/output.hpp"
#include "core/peer.hpp"

namespace zelweb {

struct EngineSettings {
    int listener = -1;  // a listening socket, made non-blocking by start(); never closed here
    uint32_t max_connections = 1;    // held at once; accepting pauses at the bound
    uint64_t first_wait_ms = 5000;   // a new connection's wait for its first byte
    uint64_t head_receive_ms = 5000; // between two receives of a head
    uint64_t head_total_ms = 10000;  // a whole head, from its first byte
    uint64_t keep_alive_ms = 5000;   // idle between requests
    uint64_t send_progress_ms = 60000;  // a response written out without any progress
    uint64_t drain_ms = 2000;        // reading what the peer still sends before a close
    uint64_t drain_limit = 0;        // more unread body than this is not drained
    uint64_t body_receive_ms = 60000;  // a body read here that stops coming
    uint64_t body_buffer_limit = 2 << 20;  // the most of a head and body read here
    uint64_t accept_pause_ms = 50;   // after an accept out of descriptors or memory
    uint64_t stall_ms = 1;           // a queued job waits this long before another worker wakes
    size_t buffer_size = 8192;       // a head's buffer
};

// A connection whose head is complete (or too large), lent to one worker
// until it calls finish().
struct Job {
    uint32_t slot = 0, generation = 0;
    int fd = -1;
    char* buffer = nullptr;      // the connection's buffer, buffer_size bytes
    size_t received = 0;         // bytes in it: the head, and what followed it
    size_t head_size = 0;        // the head, its terminating run included; 0 when too large
    bool too_large = false;      // buffer_size bytes without the end of a head
    bool fresh = false;          // the connection's first request
    uint64_t head_began_ms = 0;  // monotonic_ms() of the head's first byte
    PeerAddress peer;
    bool body_read = false;     // the body the last finish asked for was read (whole, cut or
                                // as much as the core reads), after the head in the buffer
    bool body_stalled = false;  // it stopped coming: nothing more is to be waited for
};

enum class After {
    keep,   // read the next request (stopping: close instead)
    close,  // close once the output is out
    drain,  // close once the output is out, reading what the peer still sends first
    // Read the request's body into the buffer after its head (nothing has
    // been taken from the buffer), then hand the job over again.
    read_body,
};

struct Finish {
    After after = After::close;
    size_t leftover = 0;       // bytes at the buffer's start that belong to the next request
                               // (read_body: the request's head and what followed it)
    Output output;             // what the worker could not write without waiting
    uint64_t unread_body = 0;  // drain: body bytes the peer may still send
    uint64_t body_until = 0;   // read_body: the buffer's size once the body is whole; 0: the
                               // body is chunked, read until its framing ends
    size_t body_start = 0;     // read_body: where the body begins in the buffer (the head's size)
};

class Engine {
public:
    // A new engine holding one reference; null when out of memory or when
    // the epoll set cannot be made (`error` holds errno).
    static Engine* create(const EngineSettings& settings, int& error);
    void retain();
    void release();  // the last reference frees it; the loop must have ended

    // Starts the loop thread; false with `error` set.
    bool start(int& error);

    // A worker's side. take() waits for a job; false once the engine stops.
    bool take(Job& job);
    void finish(const Job& job, Finish&& finish);

    // The stop, from any thread. stop_accepting() returns once the loop no
    // longer watches the listener (it may then be closed).
    void stop_accepting();
    void close_idle();             // idle connections closed, now and as they become idle
    void cut_all();                // every connection shut, so a worker's wait ends at once
    bool wait_empty(uint64_t ms);  // until no connection is held, or ms; true when none is
    size_t held();                 // connections held
    void stop();                   // the loop ends (joined); waiting takers are released

    // Counters for tests and benchmarks.
    struct Counters {
        uint64_t accepted = 0, jobs = 0, closed = 0, timed_out = 0, accept_failures = 0;
    };
    Counters counters();

    struct State;  // the loop's and the queue's, in engine.cpp

private:
    Engine() = default;
    ~Engine();
    State* s_ = nullptr;
};

}  // namespace zelweb
