// The server's own answers.
#include "connection/ending.hpp"

namespace zelweb {

Answer answer_own(Connection& c, const OwnResponse& r, bool drain) {
    if (drain) c.unread_body = drain_limit;
    long bytes = send_own_response(c.channel, r);
    if (bytes < 0) PyErr_Clear();  // the peer has gone: nothing more to do for it
    return {false, r.status, bytes < 0 ? 0ull : static_cast<unsigned long long>(bytes)};
}

}  // namespace zelweb
