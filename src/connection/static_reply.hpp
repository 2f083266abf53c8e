// Static answers on serve's connections: the thread-per-connection caller
// (TLS) and the access log line both callers write.
#pragma once
#include <Python.h>

#include <chrono>
#include <string_view>

#include "connection/connection.hpp"
#include "core/static_answer.hpp"

namespace zelweb {

struct SessionOptions;

enum class StaticReply {
    not_static,  // the request goes to the application
    keep,        // answered; the next request may follow
    close,       // answered, or its sending failed; the connection ends
};

// Answers the request whose head is c.head[0, c.head_size) when it asks for
// a file of o.static_site: planned with the interpreter lock released, sent
// through the channel, logged. c.taken and c.unread_body are set for what
// follows. Never raises.
StaticReply answer_static(Connection& c, const SessionOptions& o, bool stopping);

// The access log line of a static answer to the request of `head`: the
// client is the one a trusted proxy names there, else the peer's `host`.
void log_static_answer(const SessionOptions& o, std::string_view host, std::string_view head,
                       const StaticAnswer& answer, std::chrono::steady_clock::time_point began);

}  // namespace zelweb
