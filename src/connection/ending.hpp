// How a request on a kept connection ended, whatever interface served it:
// whether the connection goes on, and what the access log says.
#pragma once
#include <string_view>

#include "connection/connection.hpp"
#include "connection/own_response.hpp"

namespace zelweb {

struct Ending {
    bool close;  // the connection ends after this request
    int status;  // for the access log; 0: no line
    unsigned long long bytes;
    std::string_view client = {};  // the client a trusted proxy named, else empty (the peer)
};

// The server's own answer to the request, the connection closed after it.
Ending answer_own(Connection& c, const OwnResponse& r);

}  // namespace zelweb
