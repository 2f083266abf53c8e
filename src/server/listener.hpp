// The listening socket and the banner, for start and serve alike: a socket
// of the socket module with SO_REUSEADDR, optionally TLS (a server context
// loaded before anything is bound, connections wrapped without a handshake
// on accept: each handshake runs on its connection's own thread), bound
// and listening.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

struct ListenRequest {
    PyObject* family;    // socket.AF_INET, ...
    PyObject* type;      // socket.SOCK_STREAM
    PyObject* protocol;  // null: the family's default
    PyObject* address;   // what bind takes
    PyObject* backlog;   // an int
    PyObject* certfile = nullptr;  // TLS when both are given
    PyObject* keyfile = nullptr;
    bool wrap_before_bind = false;  // start wraps the fresh socket, serve the listening one
};

// The listening socket, or null with the error set (nothing left open).
Ref open_listening_socket(const ListenRequest& request);

// The bound port of a listening socket; -1 with the error set.
long bound_port(PyObject* socket);

// "[-] Serving: host:port" through the built-in print, once; an IPv6
// literal in brackets when `brackets`, as a URL writes it.
bool print_banner(PyObject* host_text, long port, bool brackets);

}  // namespace zelweb
