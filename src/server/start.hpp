// start, the server loop, and wrap, the connection thread's target.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

// The built-in function `start`, whose __module__ is "zelweb".
Ref make_start_function();

}  // namespace zelweb
