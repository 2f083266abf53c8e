// Receives and sends on a connection object, through the interpreter's
// socket (or TLS socket) methods.
#pragma once
#include <Python.h>

#include <cstddef>

namespace zelweb {

// con.recv_into over [buffer, buffer + size): the count received (0 when the
// peer has closed), or -1 with an exception set.
Py_ssize_t receive_into(PyObject* con, char* buffer, size_t size);

// Writes all of [data, data + size) with con.send, in order.
bool send_all(PyObject* con, const char* data, size_t size);
// Writes all of a bytes object: one send of the object itself as a rule.
bool send_bytes(PyObject* con, PyObject* bytes);

// Whether `con` is a TLS connection, whose handshake is still to be made.
bool is_tls_connection(PyObject* con);

}  // namespace zelweb
