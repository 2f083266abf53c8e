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
    char* body_buffer = nullptr;  // the record's `post`, owned here
};

// Serves one connection from its first byte to its close. Never raises:
// failures are reported (see client.cpp).
void client(PyObject* app, PyObject* con, PyObject* addr);

// The stages after the head. Each returns false with an exception set when
// the handler's error exit must run.
bool read_body(Connection& c, HttpObject* http);
bool respond(PyObject* app, Connection& c, HttpObject* http);
bool remove_if_exists(const char* path);

}  // namespace zelweb
