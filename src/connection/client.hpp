// The connection handler.
#pragma once
#include <Python.h>

namespace zelweb {

// Serves one connection from its first byte to its close: the head, the
// body of a POST, the application, the response. Never raises: what fails is
// reported on standard error.
void client(PyObject* app, PyObject* con, PyObject* addr);

}  // namespace zelweb
