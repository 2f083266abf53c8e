// serve's connection handler: request after request on one connection.
#pragma once
#include <Python.h>

#include <cstdint>

namespace zelweb {

struct Connection;
struct HttpObject;
struct WsgiSettings;
class TrustedProxies;

// What serve sets for every connection it serves. The objects are borrowed
// for the server's lifetime.
struct SessionOptions {
    PyObject* keep_alive;       // a float: how long an idle connection waits for a next request
    double keep_alive_seconds;  // 0: one request per connection
    bool tls;
    const char* upload_prefix;  // the upload directory, a "/" at its end
    uint64_t max_body;          // UINT64_MAX: no bound
    PyObject* access_log;       // null: none; Py_True: standard error; else an object with write
    const TrustedProxies* trusted = nullptr;  // proxies whose X-Forwarded-* count; null: none
    const WsgiSettings* wsgi = nullptr;       // the WSGI interface; null: route
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

// The upload files of the request in flight on a session the server gives
// up on (its route is stuck past the shutdown timeout): they go now, not
// when route returns, which may be never.
void remove_abandoned_uploads(const SessionControl& control);

// Serves requests on `con` until the client or the server ends it, then
// closes it. Never raises: what fails is reported on standard error.
void serve_connection(PyObject* app, PyObject* con, PyObject* addr, const SessionOptions& options,
                      SessionControl& control);

}  // namespace zelweb
