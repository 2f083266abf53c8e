// serve's handler: the stages of a request, again and again on one
// connection, and the answers the server gives itself. One place decides
// what the peer sees and when the connection ends.
#include "connection/session.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <string_view>

#include "connection/access_log.hpp"
#include "connection/body.hpp"
#include "connection/channel.hpp"
#include "connection/clock.hpp"
#include "connection/close.hpp"
#include "connection/compose.hpp"
#include "connection/connection.hpp"
#include "connection/ending.hpp"
#include "connection/intake.hpp"
#include "connection/own_response.hpp"
#include "connection/peer_address.hpp"
#include "connection/request_end.hpp"
#include "connection/request_report.hpp"
#include "connection/respond.hpp"
#include "connection/static_reply.hpp"
#include "connection/stream_response.hpp"
#include "connection/wsgi_exchange.hpp"
#include "core/static_answer.hpp"
#include "parse/head.hpp"
#include "parse/request_head.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

constexpr const char* serve_context = "zelweb.serve";

std::string_view request_line(const Connection& c) {
    return first_line(text_before_nul(c.head, c.head_size));
}

// The peer's failures (a time limit, a reset, a close) are nothing to
// report; any other error is the server's and is.
void clear_peer_failure(const Channel& channel) {
    if (!PyErr_Occurred()) return;
    if (channel.broken() && PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Clear();
    else
        report_ignored_in(serve_context);
}

// A stage that could not go on: what the client is told, if anything.
Answer refuse(Connection& c, Outcome outcome) {
    switch (outcome) {
        case Outcome::bad_request: return answer_own(c, bad_request);
        case Outcome::too_large: return answer_own(c, too_large);
        case Outcome::cut_short:  // told, if it still listens; nothing more is awaited
            PyErr_Clear();
            return answer_own(c, bad_request, false);
        case Outcome::peer_gone: clear_peer_failure(c.channel); return {false, 0, 0};
        default:  // the server's own failure
            report_ignored_in(serve_context);
            return answer_own(c, route_failed, !c.body_complete);
    }
}

// Whether the client and the settings let the connection carry another request.
bool wants_keep(const SessionOptions& o, const Connection& c) {
    if (o.keep_alive_seconds <= 0) return false;
    return c.request.minor_version == 1 ? !c.connection.close : c.connection.keep_alive;
}

// The response route composed, with the Connection and Date lines.
Answer send_routed(Connection& c, HttpObject* http, bool keep) {
    // A body left in the connection would be read as the next request; a
    // streamed body that ends with the connection leaves none.
    keep = keep && c.body_complete && !c.carry_lost &&
           !(http->stream && stream_ends_with_connection(c, http));
    char lines[128];
    std::string_view connection = keep ? keep_line : close_line, date = date_line();
    std::memcpy(lines, connection.data(), connection.size());
    std::memcpy(lines + connection.size(), date.data(), date.size());
    Outcome outcome =
        send_response(c, http, std::string_view(lines, connection.size() + date.size()));
    if (outcome != Outcome::done) {
        clear_peer_failure(c.channel);
        return {false, static_cast<int>(c.sent_status), 0};
    }
    // A body cut short leaves the client waiting for the rest: only the
    // close can tell it.
    return {keep && !c.body_cut_short, static_cast<int>(c.sent_status), c.sent_body};
}

// A trusted proxy's word on the client and its scheme, for c_remote_addr
// and c_scheme; the client for the log.
std::string_view take_forwarded(const SessionOptions& o, const Connection& c, HttpObject* http) {
    Forwarded f = read_forwarded(o.trusted, c.peer.host, c.request.fields);
    if (!f.client.empty() && f.client.size() < sizeof http->remote_addr) {
        std::memcpy(http->remote_addr, f.client.data(), f.client.size());
        http->remote_addr[f.client.size()] = '\0';
    }
    if (!f.scheme.empty()) std::memcpy(http->scheme, f.scheme.data(), f.scheme.size() + 1);
    return f.client;
}

// The stages of a request whose head is complete, in order: the head read
// strictly, the record, the body, route, the response. The first stage that
// cannot go on gives the answer.
Answer answer_request(PyObject* app, const SessionOptions& o, SessionControl& control,
                      Connection& c, Ref& record, std::string_view& client) {
    HeadFault fault = read_head_strictly(c);
    if (fault == HeadFault::bad_request) return answer_own(c, bad_request);
    Outcome outcome = fill_record_from_head(c, record);
    if (outcome != Outcome::done) return refuse(c, outcome);
    if (fault == HeadFault::version_not_supported) return answer_own(c, version_not_supported);
    if (fault == HeadFault::not_implemented) return answer_own(c, not_implemented);

    HttpObject* http = as_record(record.get());
    control.request = http;
    client = take_forwarded(o, c, http);
    outcome = read_body(c, http);
    if (outcome == Outcome::wait_for_body) return {true, 0, 0, true};
    if (outcome == Outcome::upload_error) {
        print_upload_error();
        outcome = Outcome::done;
    }
    if (outcome != Outcome::done) return refuse(c, outcome);

    if (!call_route(app, c, http)) {
        report_request_error(c.request, "route raised");
        return answer_own(c, route_failed, !c.body_complete);
    }
    // A value the application set was refused (and said so on standard
    // error): its response would lack it.
    if (http->refused) {
        if (!remove_data_file(http)) report_ignored_in(serve_context);
        return answer_own(c, route_failed, !c.body_complete);
    }
    return send_routed(c, http, wants_keep(o, c) && !*control.stopping);
}

// The access log's line for a request that got a response.
void log_request(const SessionOptions& o, std::string_view line, const Answer& answer,
                 const Connection& c) {
    if (!answer.status || !o.access_log) return;
    std::string_view host = !answer.client.empty() ? answer.client
                            : c.peer.host[0]       ? std::string_view(c.peer.host)
                                                   : std::string_view("-");
    write_access_log(o.access_log, host, line, answer.status, answer.bytes, c.head_began);
}

// The length of a next head already whole at the buffer's start, blank
// lines before it dropped; 0 when there is none yet.
size_t whole_head(Connection& c) {
    size_t k = 0;
    while (k < c.received && (c.head[k] == '\r' || c.head[k] == '\n')) ++k;
    if (k) {
        std::memmove(c.head, c.head + k, c.received - k);
        c.received -= k;
    }
    int run = 0;
    auto end = scan_break_run(c.head, c.received, run);
    return end ? *end : 0;
}

int descriptor_of(PyObject* con) {
    Ref number = call_method(con, names.fileno);
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd < 0) PyErr_Clear();
    return static_cast<int>(fd);
}

}  // namespace

AfterRequest serve_request(PyObject* app, const SessionOptions& o, SessionControl& control,
                           Connection& c) {
    Ref record;
    std::string_view client;
    Answer answer = o.wsgi ? serve_wsgi_request(o, control, c)
                           : answer_request(app, o, control, c, record, client);
    if (answer.client.empty()) answer.client = client;
    log_request(o, request_line(c), answer, c);
    if (record) end_record(c, as_record(record.get()), serve_context);
    control.request = nullptr;
    if (answer.wait_for_body) return AfterRequest::read_body;
    if (answer.keep) return AfterRequest::keep;
    // More than the drain's limit is not worth waiting for.
    bool drain = c.unread_body > 0 && c.unread_body <= drain_limit;
    return drain ? AfterRequest::drain_then_close : AfterRequest::close;
}

AfterRequest answer_head_too_large(const SessionOptions& o, Connection& c) {
    // A request line that alone outgrows the head is a target too long.
    bool line_ended = std::memchr(c.head, '\n', c.received) != nullptr;
    log_request(o, "-", answer_own(c, line_ended ? head_too_large : uri_too_long), c);
    return AfterRequest::drain_then_close;
}

void begin_next_request(Connection& c) {
    if (c.carry_size) {
        std::memcpy(c.head, c.carry.data(), c.carry_size);
        c.received = c.carry_size;
    } else {
        std::memmove(c.head, c.head + c.taken, c.received - c.taken);
        c.received -= c.taken;
    }
    c.head_size = c.taken = 0;
    c.expect_continue = false;
    c.connection = ConnectionOptions();
    c.framing = BodyFraming();
    c.unread_body = 0;
    c.sending = false;
    c.sent_status = 0;
    c.sent_body = 0;
    c.body_cut_short = false;
    c.body.release();
    c.uploads.clear();
    c.body_complete = true;
    c.carry.release();
    c.carry_size = 0;
    c.carry_lost = false;
}

void remove_abandoned_uploads(const SessionControl& control) {
    if (!control.connection || !control.request) return;
    SavedError pending;
    if (!remove_uploads(*control.connection, control.request)) PyErr_Clear();
    if (!pending.empty()) pending.restore_copy();
}

void serve_connection(PyObject* app, PyObject* con, PyObject* addr, const SessionOptions& o,
                      SessionControl& control) {
    int fd = descriptor_of(con);
    if (fd < 0) return;
    // Responses go out whole in one send; Nagle's delay would only hold back
    // the last piece of a file behind the client's delayed acknowledgement.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SocketChannel tls_channel(con, true);
    DescriptorChannel plain_channel(con, fd);
    Channel& channel = o.tls ? static_cast<Channel&>(tls_channel) : plain_channel;
    control.fd = fd;
    char head[head_capacity];
    Connection c(channel, head);
    c.peer = peer_of(addr);
    control.connection = &c;
    c.upload_prefix = o.upload_prefix;
    c.max_body = o.max_body;
    c.limits = Limits::extended;
    bool ready = channel.prepare(names.head_receive_timeout);
    if (!ready) clear_peer_failure(channel);
    for (bool first = true; ready; first = false) {
        control.idle = !first && c.received == 0;
        if (control.idle && *control.stopping) break;
        HeadStatus head = read_head(c, first ? nullptr : o.keep_alive, true);
        control.idle = false;
        if (head == HeadStatus::complete) {
            StaticReply reply = o.static_site ? answer_static(c, o, *control.stopping)
                                              : StaticReply::not_static;
            if (reply == StaticReply::close) break;
            if (reply == StaticReply::not_static &&
                serve_request(app, o, control, c) != AfterRequest::keep)
                break;
            begin_next_request(c);
        } else if (head == HeadStatus::too_large) {
            answer_head_too_large(o, c);
            break;
        } else {  // silence, a close or a reset before the head was whole
            clear_peer_failure(channel);
            break;
        }
    }
    control.fd = -1;  // from here the server must not touch the descriptor
    control.idle = false;
    control.connection = nullptr;
    // A body left unread is drained a little first, so the peer reads the
    // response rather than a reset.
    if (!close_connection(c)) PyErr_Clear();
}

void serve_job(PyObject* app, const SessionOptions& o, SessionControl& control, Connection& c,
               HeadStatus status, JobEnd& end) {
    control.connection = &c;
    for (;;) {
        AfterRequest after = status == HeadStatus::complete ? serve_request(app, o, control, c)
                                                            : answer_head_too_large(o, c);
        if (after == AfterRequest::read_body) {
            end.after = After::read_body;
            end.leftover = c.received;
            end.body_start = c.head_size;
            end.body_until =
                c.framing.kind == BodyFraming::Kind::length ? c.head_size + c.framing.length : 0;
            break;
        }
        if (after != AfterRequest::keep) {
            end.leftover = 0;
            end.unread_body = c.unread_body;
            end.after = after == AfterRequest::drain_then_close ? After::drain : After::close;
            break;
        }
        begin_next_request(c);
        end.after = After::keep;
        end.leftover = c.received;
        Output* pending = c.channel.pending();
        if (pending && !pending->empty()) break;  // the next one once this is out
        // A pipelined head already whole is served here, in order.
        c.head_size = whole_head(c);
        end.leftover = c.received;
        if (!c.head_size) break;
        // Perhaps a static file: the core answers it, without the lock.
        if (o.static_site && may_be_static(*o.static_site, std::string_view(c.head, c.head_size)))
            break;
        c.head_began = std::chrono::steady_clock::now();
        status = HeadStatus::complete;
    }
    control.connection = nullptr;
}

}  // namespace zelweb
