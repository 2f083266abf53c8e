// The connection handler `client` and the state its stages share.
#pragma once
#include <Python.h>

#include <cstddef>

#include "connection/head.hpp"
#include "context/http_t.hpp"

namespace zelweb {

struct Connection {
    PyObject* con;  // borrowed from the caller
    char head[head_capacity];
    size_t head_size = 0;  // the head, its terminating run included
    size_t received = 0;   // head plus the first body bytes that came with it
    bool expect_continue = false;
    // Body bytes announced but never received: the close must not reset the
    // connection while the peer is still sending them.
    uint64_t unread_body = 0;
    bool close_after_error = false;
    char* body_buffer = nullptr;  // the record's `post`, owned here
};

// Serves one connection from its first byte to its close. Never raises:
// failures are reported (see client.cpp).
void client(PyObject* app, PyObject* con, PyObject* addr);

// The stages after the head. Each returns false with an exception set when
// the handler's error exit must run.
bool read_body(Connection& c, HttpObject* http);
bool respond(PyObject* app, Connection& c, HttpObject* http);
// Removes the upload's temporary file, if there is one.
bool remove_upload(const HttpObject* http);

// Closes the connection; when body bytes were left unread, first ends the
// sending side and drains them for a short while, so the peer reads the
// response instead of a reset.
bool close_connection(Connection& c);

}  // namespace zelweb
