// One process of serve: the core, or the thread pool under TLS.
#include "server/process.hpp"

#include "server/core_server.hpp"
#include "server/pool.hpp"

namespace zelweb {

bool run_server(const ServeConfig& config, PyObject* listener) {
    return config.tls ? run_thread_pool(config, listener) : run_core_server(config, listener);
}

}  // namespace zelweb
