// What every request leaves to be done at its end, whichever way it ends.
#pragma once
#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// Every temporary file of the request's uploads removed; false with the
// first error set, the others still tried.
bool remove_uploads(const Connection& c, const HttpObject* http);

// The record let go of at the request's end: its uploads removed (a
// failure reported as ignored in `context`), its loans taken back, the file
// or stream it chose closed.
void end_record(const Connection& c, HttpObject* http, const char* context);

// The text of the pending Exception that ended an upload, printed on
// standard output, and the error cleared: the request goes on.
void print_upload_error();

}  // namespace zelweb
