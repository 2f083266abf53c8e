// What every connection of one serve process is served with: the
// application, the session options, the trusted proxies, the WSGI
// interface's settings and the static folders. Made once by the process's server (the core's or
// the TLS pool's), borrowed by its threads for its lifetime.
#pragma once
#include <Python.h>

#include <string_view>

#include "connection/session.hpp"
#include "connection/wsgi_exchange.hpp"
#include "parse/forwarded.hpp"
#include "py/ref.hpp"
#include "server/serve_config.hpp"

namespace zelweb {

class ServedApp {
public:
    ServedApp() = default;
    ServedApp(const ServedApp&) = delete;
    ServedApp& operator=(const ServedApp&) = delete;

    // False with an error set. `listener` names the address of requests
    // that name no host (the WSGI environment's SERVER_NAME and _PORT).
    bool set(const ServeConfig& config, PyObject* listener);

    PyObject* app() const { return app_.get(); }
    const SessionOptions& options() const { return options_; }

private:
    Ref app_, keep_alive_, access_log_;
    StaticSiteRef site_;
    char upload_prefix_[sizeof ServeConfig::upload_prefix] = "";
    SessionOptions options_ = {};
    TrustedProxies trusted_;
    WsgiSettings wsgi_ = {};
    Ref environ_base_, server_name_, server_port_;
    char root_path_[root_path_limit + 1] = "";
};

}  // namespace zelweb
