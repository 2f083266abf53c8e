// The peer of a connection, from accept's address, and what a trusted proxy
// says of the client behind it.
#pragma once
#include <Python.h>

#include <string_view>

#include "parse/forwarded.hpp"

namespace zelweb {

// The peer's address as text, from accept's (host, port, ...); borrowed
// from `addr`, empty when it has none.
std::string_view peer_host(PyObject* addr);

// The forwarded fields of `fields` (field lines) when `peer` is a proxy
// `trusted` names (null: none is), else all empty.
struct Forwarded {
    std::string_view client, scheme, host;
};
Forwarded read_forwarded(const TrustedProxies* trusted, std::string_view peer,
                         std::string_view fields);

}  // namespace zelweb
