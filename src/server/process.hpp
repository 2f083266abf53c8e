// One process of serve.
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// Serves `listener` until a stop signal (never, off the main thread): on
// plain TCP with the event-driven core, under TLS with a thread for each
// connection. False with an error set only when it could not serve at all.
bool run_server(const ServeConfig& config, PyObject* listener);

}  // namespace zelweb
