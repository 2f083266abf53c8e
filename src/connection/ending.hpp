// How a request on a kept connection was answered, whatever interface
// served it: whether the connection goes on, and what the access log says.
#pragma once
#include <string_view>

#include "connection/connection.hpp"
#include "connection/own_response.hpp"

namespace zelweb {

struct Answer {
    bool keep;  // the connection may carry another request
    int status;  // for the access log; 0: nothing was sent, no line
    unsigned long long bytes;
    bool wait_for_body = false;  // nothing was sent: the core reads the body first
    std::string_view client = {};  // the client a trusted proxy named, else empty (the peer)
};

// The server's own answer; the connection ends after it. `drain`: what the
// client still sends is read for a moment before the close, so that it
// reads this answer rather than a reset.
Answer answer_own(Connection& c, const OwnResponse& r, bool drain = true);

}  // namespace zelweb
