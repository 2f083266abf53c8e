// The last stage: the application called, the response written.
#pragma once
#include <Python.h>

#include <string_view>

#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// app.route(http), with the send limit set first. False with route's error
// (or the channel's) pending.
bool call_route(PyObject* app, Connection& c, HttpObject* http);

// Sends the response the record holds, `lines` after its server line: a
// text, the file chosen with c_data (removed afterwards for c_data_r,
// whether or not it went out whole), or the one chosen with c_file; a HEAD
// gets the head alone. What went out is left in c.sent_status, c.sent_body
// and c.body_cut_short. failed: not sent whole (c.sending stays set).
Outcome send_response(Connection& c, HttpObject* http, std::string_view lines);

// The file chosen with c_data_r is removed (its response has ended, or will
// never be sent). An error already pending is kept; false when one is set.
bool remove_data_file(const HttpObject* http);

// start's last stage: route, then the response with "Connection: close".
// failed: route raised (c.sending clear) or the response failed.
Outcome respond(PyObject* app, Connection& c, HttpObject* http);

}  // namespace zelweb
