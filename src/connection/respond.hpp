// The last stage: the application called, the response written.
#pragma once
#include <Python.h>

#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// Calls app.route(http) and sends the response the record holds: a text, or
// the chosen file (removed afterwards for c_data_r). failed: route raised or
// the response could not be sent whole (c.sending tells which).
Outcome respond(PyObject* app, Connection& c, HttpObject* http);

}  // namespace zelweb
