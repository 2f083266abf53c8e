// The head received in chunks, then the request line and headers.
#include "connection/intake.hpp"

#include <chrono>
#include <cstring>

#include "context/http_t.hpp"
#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

// A client trickling one byte every few seconds would hold its thread for
// hours under the per-receive limit alone: the whole head has its own limit.
bool limit_next_receive(Channel& channel, std::chrono::steady_clock::time_point started) {
    double left = head_seconds -
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (left >= head_receive_seconds) return true;
    if (left <= 0) {
        PyErr_SetString(PyExc_TimeoutError, "request head not complete in time");
        return false;
    }
    Ref timeout = Ref::steal(PyFloat_FromDouble(left));
    return timeout && channel.set_timeout(timeout.get());
}

// A receive that failed: an error of the class Exception (a timeout, a
// reset) is an ordinary end of the connection, any other is not.
HeadStatus receive_failure(bool any_byte) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return HeadStatus::failed;
    return any_byte ? HeadStatus::incomplete : HeadStatus::nothing;
}

// Blank lines sent before a request line (after a body, say) are not part of it.
void drop_leading_breaks(Connection& c) {
    size_t k = 0;
    while (k < c.received && (c.head[k] == '\r' || c.head[k] == '\n')) ++k;
    if (k == 0) return;
    std::memmove(c.head, c.head + k, c.received - k);
    c.received -= k;
}

template <size_t N>
bool store(char (&field)[N], std::string_view value) {
    return bounded_copy(field, value, N);
}

// The record's Content-Length: the body's length, 4294967295 at most, as
// strtoul reads one into 32 bits.
uint32_t record_length(const BodyFraming& framing) {
    if (framing.kind != BodyFraming::Kind::length) return 0;
    return framing.length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(framing.length);
}

// What is left of the body, from its framing, once the head is taken.
void begin_body(Connection& c) {
    c.taken = c.head_size;
    c.body_complete = c.framing.kind == BodyFraming::Kind::none;
    size_t buffered = c.received - c.head_size;
    switch (c.framing.kind) {
        case BodyFraming::Kind::none: break;
        case BodyFraming::Kind::length:
            c.unread_body = c.framing.length > buffered ? c.framing.length - buffered : 0;
            break;
        default: c.unread_body = drain_limit;  // its end is found only by reading it
    }
}

// start's reading of the request line, target split and headers, within
// the record's fixed fields. False: the request line is incomplete.
bool parse_head(Connection& c, HttpObject* http) {
    std::string_view head = text_before_nul(c.head, c.head_size);  // a zero byte ends the text
    http->request_head = head.data();
    http->request_head_size = head.size();
    RequestLine line = split_request_line(first_line(head));
    if (line.method) {
        store(http->method, *line.method);
        if (line.target) {
            store(http->url, *line.target);  // left empty, and reported, when over its field
            if (line.protocol) {
                store(http->request_protocol, *line.protocol);
                call_init_get(http);
            }
        }
    }
    if (!http->method[0] || url_of(http).empty() || !http->request_protocol[0]) return false;
    FramingReader framing;
    for_each_header(head, [&](HeaderName name, std::string_view value) {
        switch (name) {
            case HeaderName::content_type:
                // Kept as its media type: parameters (charset, boundary) would overflow the field.
                store(http->request_content_type, trim_blanks(value.substr(0, value.find(';'))));
                break;
            case HeaderName::cookie: store(http->cookie, value); break;
            case HeaderName::auth: store(http->auth, value); break;
            case HeaderName::user_agent: store(http->user_agent, value); break;
            case HeaderName::content_length: framing.content_length(value); break;
            case HeaderName::expect:
                c.expect_continue = header_name_is(value, "100-continue");
                break;
            case HeaderName::transfer_encoding: framing.transfer_encoding(value); break;
            case HeaderName::connection: read_connection_options(value, c.connection); break;
        }
    });
    c.framing = framing.result();
    http->content_length = record_length(c.framing);
    return true;
}

// serve's target split, as _init_get splits one: the path, and the query up
// to a second "?", each kept whole (beside the record when it outgrows its
// field). False with MemoryError set.
bool store_target(HttpObject* http, const RequestHead& h) {
    if (!store_long_value(http, http->url, &LongValues::url, h.path)) return false;
    return !h.has_query ||
           store_long_value(http, http->query, &LongValues::query, h.query.substr(0, h.query.find('?')));
}

// A new record with what the connection knows before the head: its
// limits, the peer and the scheme. Null with MemoryError set.
HttpObject* new_record_for(Connection& c, Ref& record) {
    record = new_request_record();
    if (!record) return nullptr;
    HttpObject* http = as_record(record.get());
    http->limits = c.limits;
    std::memcpy(http->remote_addr, c.peer.host, sizeof http->remote_addr);
    http->remote_port = c.peer.port;
    std::strcpy(http->scheme, c.channel.secure() ? "https" : "http");
    return http;
}

// start's record: a new one filled from the head, read the lenient way.
// close_quietly: the request line is incomplete, or the body's framing
// cannot be trusted.
Outcome fill_record(Connection& c, Ref& record) {
    HttpObject* http = new_record_for(c, record);
    if (!http) return Outcome::failed;
    if (!parse_head(c, http)) return PyErr_Occurred() ? Outcome::failed : Outcome::close_quietly;
    begin_body(c);
    // A body whose end cannot be found is never read, nor anything after it.
    bool trusted = c.framing.kind != BodyFraming::Kind::conflicting &&
                   c.framing.kind != BodyFraming::Kind::unsupported;
    return trusted ? Outcome::done : Outcome::close_quietly;
}

}  // namespace

Peer peer_of(PyObject* addr) {
    Peer peer;
    if (!addr || !PyTuple_Check(addr) || PyTuple_GET_SIZE(addr) < 2) return peer;
    PyObject* host = PyTuple_GET_ITEM(addr, 0);
    PyObject* port = PyTuple_GET_ITEM(addr, 1);
    Py_ssize_t size;
    const char* text = PyUnicode_Check(host) ? PyUnicode_AsUTF8AndSize(host, &size) : nullptr;
    if (text && static_cast<size_t>(size) < sizeof peer.host)
        std::memcpy(peer.host, text, static_cast<size_t>(size) + 1);
    long number = PyLong_Check(port) ? PyLong_AsLong(port) : -1;
    if (number >= 0 && number <= UINT16_MAX) peer.port = static_cast<uint16_t>(number);
    PyErr_Clear();  // an address it cannot read is left empty
    return peer;
}

HeadStatus read_head(Connection& c, PyObject* first_wait, bool skip_blank_lines) {
    auto started = std::chrono::steady_clock::now();
    c.head_began = started;
    bool waiting = c.received == 0;  // for the head's first byte
    if (waiting && first_wait && !c.channel.set_timeout(first_wait)) return receive_failure(false);
    int run = 0;
    size_t scanned = 0;
    for (int receives = 0;; ++receives) {
        if (skip_blank_lines && scanned == 0) drop_leading_breaks(c);
        if (scanned < c.received) {
            auto end = scan_break_run(c.head + scanned, c.received - scanned, run);
            if (end) {
                c.head_size = scanned + *end;
                return HeadStatus::complete;
            }
            scanned = c.received;
            if (scanned == head_capacity) return HeadStatus::too_large;
        }
        if (receives > 0 && !waiting && !limit_next_receive(c.channel, started))
            return receive_failure(true);
        Py_ssize_t n = c.channel.receive(c.head + c.received, head_capacity - c.received);
        if (n <= 0) return receive_failure(!waiting || c.received > 0);
        c.received += static_cast<size_t>(n);
        if (waiting && first_wait) {
            // The head has begun: from here on its own limits hold.
            waiting = false;
            started = c.head_began = std::chrono::steady_clock::now();
            receives = -1;
            if (!c.channel.set_timeout(names.head_receive_timeout)) return receive_failure(true);
        }
        waiting = false;
    }
}

HeadFault read_head_strictly(Connection& c) {
    if (c.head_read) {
        c.head_read = false;
        return c.head_fault;
    }
    return read_request_head(std::string_view(c.head, c.head_size), c.request);
}

void take_request_head(Connection& c) {
    c.framing = c.request.framing;
    c.connection = c.request.connection;
    // An HTTP/1.0 client knows no 1xx: its expectation is ignored.
    c.expect_continue = c.request.expect_continue && c.request.minor_version >= 1;
    begin_body(c);
}

Outcome fill_record_from_head(Connection& c, Ref& record) {
    const RequestHead& h = c.request;
    HttpObject* http = new_record_for(c, record);
    if (!http) return Outcome::failed;
    http->request_head = c.head;
    http->request_head_size = c.head_size;
    if (h.form == TargetForm::absolute) {
        http->authority = h.host.data();
        http->authority_size = h.host.size();
    }
    take_request_head(c);
    // A method that does not fit its field cannot be served; the target is
    // kept as long as the head.
    if (!store(http->method, h.method)) return Outcome::bad_request;
    if (!store_target(http, h)) return Outcome::failed;
    store(http->request_protocol, h.protocol);
    // Kept as its media type: parameters (charset, boundary) would overflow the field.
    store(http->request_content_type,
          trim_blanks(h.content_type.substr(0, h.content_type.find(';'))));
    // c_get_cookie reads the head itself when the line outgrows the field.
    if (h.cookie.size() < sizeof http->cookie) store(http->cookie, h.cookie);
    store(http->auth, h.auth);
    store(http->user_agent, h.user_agent);
    http->content_length = record_length(h.framing);
    return Outcome::done;
}

Outcome read_request(Connection& c, Ref& record) {
    if (!c.channel.prepare(names.head_receive_timeout))
        return receive_failure(false) == HeadStatus::failed ? Outcome::failed
                                                            : Outcome::close_quietly;
    switch (read_head(c, nullptr, false)) {
        case HeadStatus::complete: return fill_record(c, record);
        case HeadStatus::failed: return Outcome::failed;
        default: return Outcome::close_quietly;
    }
}

}  // namespace zelweb
