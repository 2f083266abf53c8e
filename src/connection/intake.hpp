// The first stage of a request: its head read from the connection and
// parsed into a new record.
#pragma once
#include "connection/connection.hpp"
#include "py/ref.hpp"

namespace zelweb {

// Sets the connection's receive limits, reads the head (handshaking first on
// TLS) and fills a new record from its request line, its headers and the
// peer's address `addr`. done: `record` holds the record. close_quietly: the
// head could not be read, its request line is incomplete, or its body's
// framing cannot be trusted.
Outcome read_request(Connection& c, PyObject* addr, Ref& record);

}  // namespace zelweb
