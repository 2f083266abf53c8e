// serve with several processes.
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// Forks config.workers processes that each serve `listener` (run_server),
// forks a new one in place of any that ends while not stopping, passes
// SIGINT and SIGTERM on to them, and returns once all have ended (those
// still alive shutdown_timeout + a grace after the stop are killed). False
// with an error set when it could not fork at all.
bool run_workers(const ServeConfig& config, PyObject* listener);

}  // namespace zelweb
