// What a trusted proxy says of the client behind it.
#pragma once
#include <Python.h>

#include <string_view>

#include "parse/forwarded.hpp"

namespace zelweb {

// The forwarded fields of `fields` (field lines) when `peer` is a proxy
// `trusted` names (null: none is), else all empty.
struct Forwarded {
    std::string_view client, scheme, host;
};
Forwarded read_forwarded(const TrustedProxies* trusted, std::string_view peer,
                         std::string_view fields);

}  // namespace zelweb
