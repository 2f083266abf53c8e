// client: the stages of a request in order, and the one place that decides,
// from the outcome each stage reports, what is reported, what the peer sees
// and when the connection is closed.
#include "connection/client.hpp"

#include "connection/body.hpp"
#include "connection/close.hpp"
#include "connection/intake.hpp"
#include "connection/request_end.hpp"
#include "connection/respond.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

constexpr const char* client_context = "zelweb.client";

// Closes without a response after an expected failure.
void close_quietly(Connection& c) {
    PyErr_Clear();
    if (!c.channel.close()) report_ignored_in(client_context);
}

// The handler's error exit: the error reported twice, before anything else
// happens, so the peer sees the end of the connection only after the report.
// A torn response is closed; nothing else is sent.
void error_exit(Connection& c) {
    report_ignored_in(client_context);
    if (c.sending && !c.channel.close()) PyErr_Clear();
}

// What the peer sees and what is reported, from the stages' outcome.
void end_connection(Connection& c, Outcome outcome) {
    switch (outcome) {
        case Outcome::done:
            if (!close_connection(c)) error_exit(c);
            break;
        case Outcome::cut_short:
            // A body that stopped arriving is a failed receive, as ever; one
            // whose sender closed early is not answered as if it were whole.
            if (PyErr_Occurred()) {
                error_exit(c);
                break;
            }
            [[fallthrough]];
        case Outcome::close_quietly:
        case Outcome::bad_request:
        case Outcome::too_large:  // start sets no max_body
            close_quietly(c);
            break;
        default: error_exit(c); break;  // the peer has gone, or the server failed
    }
}

}  // namespace

void client(PyObject* app, PyObject* con, PyObject* addr) {
    SocketChannel channel(con);
    char head[head_capacity];
    Connection c(channel, head);
    c.peer = peer_of(addr);
    Ref record;
    Outcome outcome = read_request(c, record);
    HttpObject* http = record ? as_record(record.get()) : nullptr;
    if (outcome == Outcome::done) outcome = read_body(c, http);
    if (outcome == Outcome::upload_error) {
        print_upload_error();
        outcome = Outcome::done;
    }
    if (outcome == Outcome::done) outcome = respond(app, c, http);
    end_connection(c, outcome);
    // An aborted upload must not stay behind in tmp/ either.
    if (http) end_record(c, http, client_context);
}

}  // namespace zelweb
