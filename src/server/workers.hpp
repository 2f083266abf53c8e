// serve with several processes.
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// Forks config.workers processes that each serve `listener` (run_server),
// forks a new one in place of any that ends while not stopping, passes
// SIGINT and SIGTERM on to them, removes the upload files of each that ends,
// and returns once all have ended (those still alive shutdown_timeout + a
// grace after the stop are killed). False with the fork's error set when a
// first fork failed (those already forked are stopped first), or when no
// worker is left because a replacement could not be forked.
bool run_workers(ServeConfig& config, PyObject* listener);

}  // namespace zelweb
