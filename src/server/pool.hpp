// serve under TLS: an accept loop and a thread for each connection's life
// (the handshake and the encryption run through the ssl module).
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// Accepts on `listener` while fewer than max_connections are being served,
// each connection handed to a thread of a pool that grows on demand and
// shrinks when idle. Returns once a stop signal came (never, off the main
// thread) and the connections in flight have finished, or shutdown_timeout
// has passed and they were cut. False with an error set only when it could
// not serve at all.
bool run_thread_pool(const ServeConfig& config, PyObject* listener);

}  // namespace zelweb
