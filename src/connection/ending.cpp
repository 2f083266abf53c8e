// The server's own answers on a kept connection.
#include "connection/ending.hpp"

namespace zelweb {

Ending answer_own(Connection& c, const OwnResponse& r) {
    // What the client still sends is read for a moment before the close,
    // so that it reads this answer rather than a reset.
    if (!c.body_complete || r.status != route_failed.status) c.unread_body = drain_limit;
    long bytes = send_own_response(c.channel, r);
    if (bytes < 0) PyErr_Clear();  // the peer has gone: nothing more to do for it
    return {true, r.status, bytes < 0 ? 0ull : static_cast<unsigned long long>(bytes)};
}

}  // namespace zelweb
