// A request served by a WSGI application: its head read strictly and the
// server's own answers given, the environment built, the application
// called, its iterable sent as it is produced, its close() called on every
// path.
#pragma once
#include <Python.h>

#include <string_view>

#include "connection/connection.hpp"
#include "connection/ending.hpp"
#include "connection/session.hpp"

namespace zelweb {

// What serve sets for its WSGI application; objects borrowed for the
// server's lifetime.
struct WsgiSettings {
    PyObject* app;               // app(environ, start_response)
    PyObject* environ_base;      // environ_template()
    std::string_view root_path;  // SCRIPT_NAME's text
    PyObject* server_name;       // str: SERVER_NAME and SERVER_PORT of a request naming no host
    PyObject* server_port;
};

// One request whose head is complete (c.head[0, c.head_size)).
Answer serve_wsgi_request(const SessionOptions& o, const SessionControl& control,
                          Connection& c);

}  // namespace zelweb
