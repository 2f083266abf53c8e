// serve's listening socket: IPv4, IPv6 or a name, optionally TLS.
#pragma once
#include "py/ref.hpp"
#include "server/serve_config.hpp"

namespace zelweb {

struct Listener {
    Ref socket;     // the listening socket object (a TLS one when config.tls)
    long port = 0;  // as bound
};

// Binds and listens on the first address of config.host; with TLS, the
// certificate pair is loaded first, so that a missing one fails before
// anything is bound. False with the error set.
bool open_listener(const ServeConfig& config, Listener& listener);

// "[-] Serving: host:port", once, an IPv6 address in brackets.
bool print_serve_banner(const ServeConfig& config, const Listener& listener);

}  // namespace zelweb
