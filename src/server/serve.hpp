// serve: the entry point with persistent connections, a graceful stop,
// bounded concurrency and worker processes.
#pragma once
#include "py/ref.hpp"

namespace zelweb {

// The built-in function `serve`, whose __module__ is "zelweb".
Ref make_serve_function();

}  // namespace zelweb
