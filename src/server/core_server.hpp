// serve on plain TCP: the event-driven core and its application threads.
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// Serves `listener` with the core holding every connection and
// config.threads threads running the application. Returns once a stop
// signal came (never, off the main thread) and the connections in flight
// have finished, or shutdown_timeout has passed and they were cut. False
// with an error set only when it could not serve at all.
bool run_core_server(const ServeConfig& config, PyObject* listener);

}  // namespace zelweb
