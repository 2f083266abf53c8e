// The static answer through a channel.
#include "connection/static_reply.hpp"

#include <cstdlib>
#include <ctime>

#include "connection/access_log.hpp"
#include "connection/clock.hpp"
#include "connection/peer_address.hpp"
#include "connection/session.hpp"
#include "py/names.hpp"

namespace zelweb {

void log_static_answer(const SessionOptions& o, std::string_view host, std::string_view head,
                       const StaticAnswer& answer, std::chrono::steady_clock::time_point began) {
    size_t fields = head.find("\r\n");
    if (o.trusted && fields != head.npos) {
        std::string_view client = read_forwarded(o.trusted, host, head.substr(fields + 2)).client;
        if (!client.empty()) host = client;
    }
    write_access_log(o.access_log, host.empty() ? "-" : host, answer.request_line,
                     static_cast<int>(answer.status), answer.body_bytes, began);
}

StaticReply answer_static(Connection& c, const SessionOptions& o, bool stopping) {
    std::string_view head(c.head, c.head_size);
    // The full match is plan_static_answer's, made without the lock.
    if (!may_be_static(*o.static_site, head)) return StaticReply::not_static;
    char* buffer = static_cast<char*>(std::malloc(static_answer_capacity));
    if (!buffer) return StaticReply::not_static;  // the usual path answers it, or fails as it does
    StaticAnswer answer;
    StaticRequest request;
    request.head = head;
    request.following = c.received - c.head_size;
    request.keep_allowed = o.keep_alive_seconds > 0 && !stopping;
    request.date_line = date_line();
    request.now = static_cast<int64_t>(std::time(nullptr));
    bool planned;
    Py_BEGIN_ALLOW_THREADS
        planned = plan_static_answer(*o.static_site, request, buffer, answer);
    Py_END_ALLOW_THREADS
    if (!planned) {
        std::free(buffer);
        return StaticReply::not_static;
    }
    bool sent = c.channel.set_send_timeout(names.send_timeout) &&
                c.channel.send_last(answer.bytes, answer.size);
    if (sent && answer.file_count) {
        int64_t n = c.channel.send_last_descriptor(answer.file.get(), answer.file_offset,
                                                   answer.file_count);
        sent = n >= 0;
        if (sent && static_cast<uint64_t>(n) < answer.file_count) answer.close = true;
    }
    answer.file.reset();
    if (!sent) {
        PyErr_Clear();  // the peer has gone: nothing more to do for it
        answer.close = true;
    }
    if (o.access_log) log_static_answer(o, c.peer.host, head, answer, c.head_began);
    c.taken = answer.consumed;
    c.unread_body = answer.unread_body;
    std::free(buffer);
    return answer.close ? StaticReply::close : StaticReply::keep;
}

}  // namespace zelweb
