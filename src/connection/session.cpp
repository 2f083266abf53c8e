// serve's handler: the stages of a request, again and again on one
// connection, and the answers the server gives itself. One place decides
// what the peer sees and when the connection ends.
#include "connection/session.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
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
#include "connection/respond.hpp"
#include "connection/wsgi_exchange.hpp"
#include "parse/head.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

constexpr const char* serve_context = "zelweb.serve";
constexpr std::string_view keep_line = "Connection: keep-alive\r\n";

std::string_view request_line(const Connection& c) {
    return first_line(text_before_nul(c.head, c.head_size));
}

// The error route raised, reported once, naming the request it failed.
void report_route_error(const Connection& c) {
    SavedError error;
    RequestLine line = split_request_line(request_line(c));
    std::string_view method = line.method.value_or(""), target = line.target.value_or("");
    PySys_WriteStderr("zelweb: route raised for %.*s %.*s\n", static_cast<int>(method.size()),
                      method.data(), static_cast<int>(std::min<size_t>(target.size(), 900)),
                      target.data());
    if (!error.empty()) PyErr_Display(error.type(), error.value(), error.traceback());
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

// The bytes of the response's body, for the log.
unsigned long long body_bytes(const HttpObject* http) {
    if (!status_has_body(http->status) || std::strcmp(http->method, "HEAD") == 0) return 0;
    return http->data_size != 0 ? http->data_size : http->text.view().size();
}

// A trusted proxy's word on the client and its scheme, for c_remote_addr
// and c_scheme; the client for the log.
std::string_view take_forwarded(const SessionOptions& o, PyObject* addr, HttpObject* http) {
    std::string_view head(http->request_head, http->request_head_size);
    size_t fields = head.find("\r\n");
    Forwarded f =
        read_forwarded(o.trusted, peer_host(addr),
                       fields == head.npos ? std::string_view() : head.substr(fields + 2));
    if (!f.client.empty() && f.client.size() < sizeof http->remote_addr) {
        std::memcpy(http->remote_addr, f.client.data(), f.client.size());
        http->remote_addr[f.client.size()] = '\0';
    }
    if (!f.scheme.empty()) std::memcpy(http->scheme, f.scheme.data(), f.scheme.size() + 1);
    return f.client;
}

// One request whose head is complete: the record, the body, route, the
// response. The caller takes back the record's loans and removes its uploads.
Ending serve_request(PyObject* app, PyObject* addr, const SessionOptions& o,
                     SessionControl& control, Connection& c, Ref& record) {
    Outcome outcome = fill_record(c, addr, record);
    HttpObject* http = record ? as_record(record.get()) : nullptr;
    control.request = http;
    if (outcome == Outcome::failed) {
        report_ignored_in(serve_context);
        return answer_own(c, route_failed);
    }
    if (!http || !http->method[0] || !http->url[0] || !http->request_protocol[0])
        return answer_own(c, bad_request);
    if (c.framing.kind == BodyFraming::Kind::unsupported) return answer_own(c, not_implemented);
    if (c.framing.kind == BodyFraming::Kind::conflicting || !c.framing.strict)
        return answer_own(c, bad_request);
    int version = http_minor_version(field_text(http->request_protocol));
    // Exactly three pieces: words after the version would be read as nothing.
    std::string_view line = request_line(c);
    if (version == -2 || !is_token(field_text(http->method)) ||
        std::count(line.begin(), line.end(), ' ') != 2)
        return answer_own(c, bad_request);
    if (version == -1) return answer_own(c, version_not_supported);
    std::string_view client = take_forwarded(o, addr, http);
    bool keep =
        o.keep_alive_seconds > 0 && (version == 1 ? !c.connection.close : c.connection.keep_alive);

    outcome = read_body(c, http);
    if (outcome == Outcome::upload_error) {
        print_upload_error();
        outcome = Outcome::done;
    }
    switch (outcome) {
        case Outcome::done: break;
        case Outcome::too_large: return answer_own(c, too_large);
        case Outcome::close_quietly:
            return answer_own(c, bad_request);  // the chunked framing broke
        default:
            if (!c.channel.broken()) {
                report_ignored_in(serve_context);
                return answer_own(c, route_failed);
            }
            clear_peer_failure(c.channel);  // the body never came whole: no one to answer
            return {true, 0, 0};
    }
    if (!call_route(app, c, http)) {
        report_route_error(c);
        return answer_own(c, route_failed);
    }
    // A body left in the connection would be read as the next request.
    keep = keep && c.body_complete && !c.carry_lost && !*control.stopping;
    char lines[128];
    std::string_view connection = keep ? keep_line : close_line, date = date_line();
    std::memcpy(lines, connection.data(), connection.size());
    std::memcpy(lines + connection.size(), date.data(), date.size());
    outcome = send_response(c, http, std::string_view(lines, connection.size() + date.size()));
    if (outcome != Outcome::done) {
        clear_peer_failure(c.channel);
        return {true, http->status, 0, client};
    }
    return {!keep, http->status, body_bytes(http), client};
}

// The next request's first bytes, if any came, to the front of the head
// buffer; everything else of the last request forgotten.
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
    c.body.release();
    c.uploads.clear();
    c.body_complete = true;
    c.carry.release();
    c.carry_size = 0;
    c.carry_lost = false;
}

int descriptor_of(PyObject* con) {
    Ref number = call_method(con, names.fileno);
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd < 0) PyErr_Clear();
    return static_cast<int>(fd);
}

}  // namespace

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
    Connection c(channel);
    control.connection = &c;
    c.upload_prefix = o.upload_prefix;
    c.max_body = o.max_body;
    bool ready = channel.prepare(names.head_receive_timeout);
    if (!ready) clear_peer_failure(channel);
    for (bool first = true; ready; first = false) {
        control.idle = !first && c.received == 0;
        if (control.idle && *control.stopping) break;
        HeadStatus head = read_head(c, first ? nullptr : o.keep_alive, true);
        control.idle = false;
        Ending ending{true, 0, 0};
        Ref record;
        switch (head) {
            case HeadStatus::complete:
                ending = o.wsgi ? serve_wsgi_request(o, control, c, addr)
                                : serve_request(app, addr, o, control, c, record);
                break;
            case HeadStatus::too_large: ending = answer_own(c, head_too_large); break;
            default:  // silence, a close or a reset before the head was whole
                clear_peer_failure(channel);
                break;
        }
        if (ending.status && o.access_log) {
            std::string_view host = ending.client.empty() ? peer_host(addr) : ending.client;
            write_access_log(o.access_log, host.empty() ? "-" : host,
                             head == HeadStatus::too_large ? "-" : request_line(c), ending.status,
                             ending.bytes, c.head_began);
        }
        if (record) {
            HttpObject* http = as_record(record.get());
            if (!remove_uploads(c, http)) report_ignored_in(serve_context);
            take_back_loans(http);
        }
        control.request = nullptr;
        if (ending.close) break;
        begin_next_request(c);
    }
    control.fd = -1;  // from here the server must not touch the descriptor
    control.idle = false;
    control.connection = nullptr;
    // A body left unread is drained a little first, so the peer reads the
    // response rather than a reset.
    if (!close_connection(c)) PyErr_Clear();
}

}  // namespace zelweb
