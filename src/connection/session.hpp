// serve's connection handler: request after request on one connection.
#pragma once
#include <Python.h>

#include <cstdint>

#include "connection/intake.hpp"
#include "core/engine.hpp"
#include "core/static_site.hpp"

namespace zelweb {

struct HttpObject;
struct WsgiSettings;
class TrustedProxies;

// What serve sets for every connection it serves. The objects are borrowed
// for the server's lifetime.
struct SessionOptions {
    PyObject* keep_alive;       // a float: how long an idle connection waits for a next request
    double keep_alive_seconds;  // 0: one request per connection
    bool tls;
    const char* upload_prefix;  // Connection::upload_prefix
    uint64_t max_body;          // UINT64_MAX: no bound
    PyObject* access_log;       // null: none; Py_True: standard error; else an object with write
    const TrustedProxies* trusted = nullptr;  // proxies whose X-Forwarded-* count; null: none
    const WsgiSettings* wsgi = nullptr;       // the WSGI interface; null: route
    const StaticSite* static_site = nullptr;  // its GET and HEAD answered by the server itself
};

// What a session and the server that runs it share, read and written under
// the interpreter lock.
struct SessionControl {
    const bool* stopping = nullptr;  // the server stops: finish the request in flight, then close
    int fd = -1;                     // the connection's descriptor while it is open
    bool idle = false;               // waiting for a next request: it may be shut down at once
    const Connection* connection = nullptr;  // the request in flight, if any
    const HttpObject* request = nullptr;
};

// What a connection does once a request is done with.
enum class AfterRequest {
    keep,              // waits for the next request (begin_next_request first)
    close,             // closes
    drain_then_close,  // reads what the client still sends for a moment, then closes
    read_body,         // the core reads the body into c.head after the head, then the request
                       // is served again (Connection::may_wait_for_body)
};

// Serves the request whose head is complete in c.head[0, c.head_size) (the
// channel prepared, c.upload_prefix and c.max_body set): the head read
// strictly, the record, the body, route and the response, or the server's
// own answer; then its log line, and its uploads removed. Never raises: what
// fails is reported on standard error. close_connection(c) drains and closes.
AfterRequest serve_request(PyObject* app, const SessionOptions& options, SessionControl& control,
                           Connection& c);

// A head that filled c.head without its end: 431 (414 when the request line
// alone did not fit), and its log line.
AfterRequest answer_head_too_large(const SessionOptions& options, Connection& c);

// The next request's first bytes, if any came, to the front of the head
// buffer; everything else of the last request forgotten.
void begin_next_request(Connection& c);

// The upload files of the request in flight on a session the server gives
// up on (its route is stuck past the shutdown timeout): they go now, not
// when route returns, which may be never.
void remove_abandoned_uploads(const SessionControl& control);

// Serves requests on `con` until the client or the server ends it, then
// closes it. Never raises: what fails is reported on standard error.
void serve_connection(PyObject* app, PyObject* con, PyObject* addr, const SessionOptions& options,
                      SessionControl& control);

// What the core does with a job's connection once its thread is done.
struct JobEnd {
    After after = After::close;
    size_t leftover = 0;       // the next request's first bytes, at c.head's start
    uint64_t unread_body = 0;  // for a drain
    uint64_t body_until = 0;   // read_body: the bytes c.head holds once the body has come (0:
                               // chunked, until its framing ends)
    size_t body_start = 0;     // read_body: where the body begins in c.head
};

// Serves the request whose head reading ended with `status` on a connection
// the core lent (its channel a CoreChannel), then any pipelined request
// already whole after it, in order, until a response waits to be written
// out, the next request is one for a static folder (the core hands it back,
// to be answered without the interpreter lock) or the connection must end.
// Never raises.
void serve_job(PyObject* app, const SessionOptions& options, SessionControl& control,
               Connection& c, HeadStatus status, JobEnd& end);

}  // namespace zelweb
