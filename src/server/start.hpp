// start, the server loop, and wrap, the connection thread's target.
#pragma once
#include <Python.h>

namespace zelweb {

// The built-in function `start`, whose __module__ is "zelweb". New reference.
PyObject* make_start_function();

}  // namespace zelweb
