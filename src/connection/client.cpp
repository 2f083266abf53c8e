// client: set-up, the head, the record, the request line and headers, then
// the body and response stages; and the handler's error exit.
#include "connection/client.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "connection/socket_io.hpp"
#include "module/files.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"
#include "module/report.hpp"

namespace zelweb {

namespace {

enum class HeadOutcome { complete, closed_quietly, error };

// Failures while the head is read close the connection without a response.
// Only errors of the class Exception count as such failures.
HeadOutcome close_quietly(PyObject* con) {
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return HeadOutcome::error;
        PyErr_Clear();
    }
    return call_method0(con, names.close) ? HeadOutcome::closed_quietly : HeadOutcome::error;
}

constexpr double receive_limit = 5.0;  // seconds, each receive of the head
constexpr double head_limit = 10.0;    // seconds, the whole head from the connection's start

// A client trickling one byte every few seconds would hold its thread for
// hours under the per-receive limit alone: the whole head has its own limit.
bool limit_next_receive(PyObject* con, std::chrono::steady_clock::time_point started) {
    double left = head_limit - std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (left >= receive_limit) return true;
    if (left <= 0) {
        PyErr_SetString(PyExc_TimeoutError, "request head not complete in time");
        return false;
    }
    Ref timeout = Ref::steal(PyFloat_FromDouble(left));
    return timeout && call_method1(con, names.settimeout, timeout.get());
}

// Receives the head in chunks. The result is that of reading one byte per
// receive: the head ends with the fourth of four consecutive CR/LF bytes, and
// whatever arrived after it stays in the buffer as the start of the body.
HeadOutcome read_head(Connection& c) {
    PyObject* con = c.con;
    auto started = std::chrono::steady_clock::now();
    if (!call_method1(con, names.setblocking, Py_False) ||
        !call_method1(con, names.settimeout, names.int_5))
        return close_quietly(con);
    if (is_tls_connection(con) && !call_method0(con, names.do_handshake))
        return close_quietly(con);
    int run = 0;
    size_t stored = 0;
    for (bool first = true;; first = false) {
        if (!first && !limit_next_receive(con, started)) return close_quietly(con);
        Py_ssize_t n = receive_into(con, c.head + stored, head_capacity - stored);
        if (n <= 0) return close_quietly(con);
        auto end = scan_break_run(c.head + stored, static_cast<size_t>(n), run);
        if (end) {
            c.head_size = stored + *end;
            c.received = stored + static_cast<size_t>(n);
            return HeadOutcome::complete;
        }
        stored += static_cast<size_t>(n);
        if (stored == head_capacity) return close_quietly(con);
    }
}

template <size_t N>
void store(char (&field)[N], std::string_view value) {
    bounded_copy(field, value, N);
}

// Request line, target split and headers. False: the request line is
// incomplete and the connection is to be closed without a response.
bool parse_head(Connection& c, HttpObject* http) {
    std::string_view head = c_text(c.head, c.head_size);  // a zero byte ends the text
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
    for_each_header(head, [&](HeaderName name, std::string_view value) {
        switch (name) {
            case HeaderName::content_type:
                // Kept as its media type: parameters (charset, boundary) would overflow the field.
                store(http->request_content_type, trim_blanks(value.substr(0, value.find(';'))));
                break;
            case HeaderName::cookie: store(http->cookie, value); break;
            case HeaderName::auth: store(http->auth, value); break;
            case HeaderName::user_agent: store(http->user_agent, value); break;
            case HeaderName::content_length: http->content_length = parse_content_length(value); break;
            case HeaderName::expect: c.expect_continue = header_name_is(value, "100-continue"); break;
        }
    });
    return true;
}

// Reports an error that escaped the stages, twice, and clears it.
void error_exit() {
    add_traceback("zelweb.client", "src/connection/client.cpp", 0);
    report_ignored("zelweb.client");
}

void release_body(Connection& c, HttpObject* http) {
    std::free(c.body_buffer);
    c.body_buffer = nullptr;
    if (http) {
        http->post = nullptr;  // a record kept by the application reads no freed memory
        http->post_size = 0;
    }
}

}  // namespace

bool remove_upload(const HttpObject* http) {
    if (!http->upload_tmp_name[0]) return true;
    Ref path = Ref::steal(PyBytes_FromString(http->upload_tmp_name));
    return path && remove_if_exists(path.get());
}

void client(PyObject* app, PyObject* con, PyObject*) {
    Connection c;
    c.con = con;
    switch (read_head(c)) {
        case HeadOutcome::complete: break;
        case HeadOutcome::closed_quietly: return;
        case HeadOutcome::error: error_exit(); return;
    }
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(new_request_record()));
    HttpObject* http = reinterpret_cast<HttpObject*>(record.get());
    bool ok = http != nullptr;
    if (ok && !parse_head(c, http)) {
        if (!call_method0(con, names.close)) error_exit();
        return;
    }
    if (ok) {
        size_t buffered = c.received - c.head_size;
        c.unread_body = http->content_length > buffered ? http->content_length - buffered : 0;
    }
    if (ok && std::strcmp(http->method, "POST") == 0) ok = read_body(c, http);
    if (ok) ok = respond(app, c, http);
    if (!ok) {
        // Reported before anything else happens, so the peer's end of the
        // connection comes after the report.
        error_exit();
        if (c.close_after_error && !call_method0(con, names.close)) PyErr_Clear();
        // An aborted upload must not stay behind in tmp/.
        if (http && !remove_upload(http)) error_exit();
    }
    release_body(c, http);
}

}  // namespace zelweb
