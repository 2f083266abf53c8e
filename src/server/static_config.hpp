// serve's static folders, from its keywords.
#pragma once
#include <Python.h>

#include "server/serve_config.hpp"

namespace zelweb {

// `folders` (null or None: none) a dict of str URL prefixes to folders
// (str, bytes or path-like), each opened as a directory now; `max_age`
// (null or None: none) an int of seconds. False with TypeError or
// ValueError set, naming what was wrong.
bool read_static_folders(PyObject* folders, PyObject* max_age, ServeConfig& config);

}  // namespace zelweb
