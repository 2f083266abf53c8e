// The head received in chunks, then the request line and headers.
#include "connection/intake.hpp"

#include <chrono>
#include <cstring>

#include "connection/socket_io.hpp"
#include "context/http_t.hpp"
#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

// Failures while the head is read close the connection without a response;
// only errors of the class Exception count as such failures.
Outcome head_failure() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return Outcome::failed;
    return Outcome::close_quietly;
}

// A client trickling one byte every few seconds would hold its thread for
// hours under the per-receive limit alone: the whole head has its own limit.
bool limit_next_receive(PyObject* con, std::chrono::steady_clock::time_point started) {
    double left = head_seconds -
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (left >= head_receive_seconds) return true;
    if (left <= 0) {
        PyErr_SetString(PyExc_TimeoutError, "request head not complete in time");
        return false;
    }
    Ref timeout = Ref::steal(PyFloat_FromDouble(left));
    return timeout && call_method(con, names.settimeout, timeout.get());
}

// Receives the head in chunks. The result is that of reading one byte per
// receive: the head ends with the fourth of four consecutive CR/LF bytes, and
// whatever arrived after it stays in the buffer as the start of the body.
Outcome read_head(Connection& c) {
    PyObject* con = c.con;
    auto started = std::chrono::steady_clock::now();
    if (!call_method(con, names.setblocking, Py_False) ||
        !call_method(con, names.settimeout, names.head_receive_timeout))
        return head_failure();
    if (is_tls_connection(con) && !call_method(con, names.do_handshake)) return head_failure();
    int run = 0;
    size_t stored = 0;
    for (bool first = true;; first = false) {
        if (!first && !limit_next_receive(con, started)) return head_failure();
        Py_ssize_t n = receive_into(con, c.head + stored, head_capacity - stored);
        if (n <= 0) return head_failure();
        auto end = scan_break_run(c.head + stored, static_cast<size_t>(n), run);
        if (end) {
            c.head_size = stored + *end;
            c.received = stored + static_cast<size_t>(n);
            return Outcome::done;
        }
        stored += static_cast<size_t>(n);
        if (stored == head_capacity) return Outcome::close_quietly;
    }
}

template <size_t N>
void store(char (&field)[N], std::string_view value) {
    bounded_copy(field, value, N);
}

// Request line, target split and headers. False: the request line is
// incomplete.
bool parse_head(Connection& c, HttpObject* http) {
    std::string_view head = text_before_nul(c.head, c.head_size);  // a zero byte ends the text
    http->request_head = head.data();
    http->request_head_size = head.size();
    RequestLine line = split_request_line(first_line(head));
    if (line.method) {
        store(http->method, *line.method);
        if (line.target) {
            store(http->url, *line.target);
            if (line.protocol) {
                store(http->request_protocol, *line.protocol);
                call_init_get(http);
            }
        }
    }
    if (!http->method[0] || !http->url[0] || !http->request_protocol[0]) return false;
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
            case HeaderName::content_length:
                http->content_length = parse_content_length(value);
                framing.content_length(value);
                break;
            case HeaderName::expect:
                c.expect_continue = header_name_is(value, "100-continue");
                break;
            case HeaderName::transfer_encoding: framing.transfer_encoding(value); break;
            case HeaderName::connection: break;
        }
    });
    c.framing = framing.result();
    return true;
}

// The peer's address and port, as the accept gave them: (host, port, ...).
void store_peer(HttpObject* http, PyObject* addr) {
    if (!addr || !PyTuple_Check(addr) || PyTuple_GET_SIZE(addr) < 2) return;
    PyObject* host = PyTuple_GET_ITEM(addr, 0);
    PyObject* port = PyTuple_GET_ITEM(addr, 1);
    Py_ssize_t size;
    const char* text = PyUnicode_Check(host) ? PyUnicode_AsUTF8AndSize(host, &size) : nullptr;
    if (text && static_cast<size_t>(size) < sizeof http->remote_addr)
        std::memcpy(http->remote_addr, text, static_cast<size_t>(size) + 1);
    long number = PyLong_Check(port) ? PyLong_AsLong(port) : -1;
    if (number >= 0 && number <= UINT16_MAX) http->remote_port = static_cast<uint16_t>(number);
    PyErr_Clear();  // an address it cannot read is left empty
}

}  // namespace

Outcome read_request(Connection& c, PyObject* addr, Ref& record) {
    Outcome head = read_head(c);
    if (head != Outcome::done) return head;
    record = new_request_record();
    if (!record) return Outcome::failed;
    HttpObject* http = as_record(record.get());
    store_peer(http, addr);
    if (!parse_head(c, http)) return Outcome::close_quietly;
    c.taken = c.head_size;
    switch (c.framing.kind) {
        case BodyFraming::Kind::none: break;
        case BodyFraming::Kind::length: {
            size_t buffered = c.received - c.head_size;
            c.unread_body = http->content_length > buffered ? http->content_length - buffered : 0;
            break;
        }
        case BodyFraming::Kind::chunked: c.unread_body = drain_limit; break;
        // A body whose end cannot be found is never read, nor anything after it.
        case BodyFraming::Kind::conflicting:
        case BodyFraming::Kind::unsupported: return Outcome::close_quietly;
    }
    return Outcome::done;
}

}  // namespace zelweb
