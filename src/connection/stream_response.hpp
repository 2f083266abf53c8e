// The response whose body is the iterable chosen with c_stream.
#pragma once
#include <string_view>

#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// Whether a c_stream body ends with the connection: under start, and under
// serve for an HTTP/1.0 request; else (HTTP/1.1 under serve) it is chunked.
// A HEAD, or a status without a body, has none and iterates nothing.
bool stream_ends_with_connection(const Connection& c, const HttpObject* http);

// Sends the head (`lines` after the server line, then the framing line,
// no Content-Length), then each piece as the iterator yields it, then the
// last chunk. A piece that is not bytes-like, an exception from the
// iterator or a failed send ends the body there: cut short (no last chunk)
// for the client to see. The iterable is closed on every path. False with
// an error set when the response could not be sent whole.
bool send_stream(Connection& c, HttpObject* http, std::string_view lines);

}  // namespace zelweb
