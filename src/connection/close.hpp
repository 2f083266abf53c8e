// The close of a connection.
#pragma once
#include "connection/connection.hpp"

namespace zelweb {

// Closes the connection; when body bytes were left unread, first ends the
// sending side and drains them for a short while, so the peer reads the
// response instead of a reset. False with an error set when close() failed.
bool close_connection(Connection& c);

}  // namespace zelweb
