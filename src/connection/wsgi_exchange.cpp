// A WSGI request on a kept connection. The application's objects (the
// environment, wsgi.input, start_response) are lent an Exchange for the
// request: it reads the body through a BodySource and writes the response
// through a BodyWriter, and decides, once everything has run, what the peer
// sees and what is reported.
#include "connection/wsgi_exchange.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "connection/body_source.hpp"
#include "connection/body_writer.hpp"
#include "connection/clock.hpp"
#include "connection/compose.hpp"
#include "connection/intake.hpp"
#include "connection/peer_address.hpp"
#include "connection/request_report.hpp"
#include "parse/request_head.hpp"
#include "py/call.hpp"
#include "py/compat.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "wsgi/environ.hpp"
#include "wsgi/file_wrapper.hpp"
#include "wsgi/input.hpp"
#include "wsgi/names.hpp"
#include "wsgi/start_response.hpp"

namespace zelweb {

namespace {

constexpr std::string_view server_line = "server: Tovrel\r\n";

// Why the body could not be read whole.
enum class BodyFailure { none, cut, too_large, malformed };

class Exchange final : public BodyStream, public ResponseSink {
public:
    Exchange(Connection& c, const RequestHead& head, bool keep, const bool* stopping)
        : c_(c),
          head_(head),
          source_(c),
          writer_(c.channel),
          stopping_(stopping),
          keep_(keep) {}

    void lend(PyObject* start_response) { start_ = start_response; }

    // wsgi.input's reads.
    Py_ssize_t read(char* buffer, size_t size) override {
        if (ended_) return refuse_after_end();
        if (failure_ != BodyFailure::none) return failed_again();
        Busy busy(reading_);
        if (!busy) return -1;
        if (!begun_) {
            begun_ = true;
            // "100 Continue" only now that the application wants the body,
            // and never once its response has begun.
            if (!writer_.head_sent() && !source_.begin()) return fail(BodyFailure::cut);
        }
        Py_ssize_t n = source_.read(buffer, size);
        if (n > 0 || (n == 0 && source_.complete())) return n;
        if (n == 0) return fail(BodyFailure::cut);
        switch (source_.stop()) {
            case Outcome::too_large: return fail(BodyFailure::too_large);
            case Outcome::bad_request: return fail(BodyFailure::malformed);
            default: return fail(BodyFailure::cut);  // the peer closed, reset or kept silent
        }
    }

    // Once open, the head is the writer's (it may wait unsent for the end
    // of a body-less response): start_response must not replace it.
    bool head_sent() const override { return opened_; }

    // Body bytes, from write() or the iterable.
    bool write(const char* data, size_t size) override {
        if (size == 0) return true;
        if (ended_) return refuse_after_end() == 0;
        Busy busy(writing_);
        if (!busy) return false;
        if (!opened_ && !open(false, 0)) return false;
        return writer_.write(data, size);
    }

    // The iterable's pieces, each sent as it comes; the head at the end
    // for a body that stayed empty. False with the error pending.
    bool send_result(PyObject* result) {
        if (Py_TYPE(result) == &file_wrapper_type) {
            int sent = send_wrapped_file(wrapped_file(result));
            if (sent < 0) return false;
            if (sent > 0) return writer_.finish();
        }
        if (PyList_CheckExact(result) || PyTuple_CheckExact(result)) {
            bool list = PyList_CheckExact(result);
            auto size = [&] { return list ? PyList_GET_SIZE(result) : PyTuple_GET_SIZE(result); };
            // A body of one piece is known whole: it gets a Content-Length.
            const ResponseStart& s = response_start(start_);
            if (size() == 1 && !opened_ && s.called && !s.has_length) {
                PyObject* only = list ? PyList_GET_ITEM(result, 0) : PyTuple_GET_ITEM(result, 0);
                if (PyBytes_Check(only) &&
                    !open(true, static_cast<uint64_t>(PyBytes_GET_SIZE(only))))
                    return false;
            }
            // The list may change while a send lets the lock go: read anew.
            for (Py_ssize_t i = 0; i < size() && !writer_.over(); ++i) {
                Ref piece =
                    Ref::incref(list ? PyList_GET_ITEM(result, i) : PyTuple_GET_ITEM(result, i));
                if (!send_piece(piece.get())) return false;
            }
        } else {
            Ref iterator = Ref::steal(PyObject_GetIter(result));
            if (!iterator) return false;
            while (!writer_.over()) {
                Ref piece = Ref::steal(PyIter_Next(iterator.get()));
                if (!piece) {
                    if (PyErr_Occurred()) return false;
                    break;
                }
                if (!send_piece(piece.get())) return false;
            }
        }
        if (!opened_ && !open(true, 0)) return false;
        return writer_.finish();
    }

    // Once the application is done with the body: what it left of it, all
    // come already, is dropped, so that the next request starts after it.
    void finish_body() {
        if (source_.complete()) return;
        if (source_.skip_buffered() != 0) PyErr_Clear();
        if (!source_.complete()) keep_ = false;
    }

    // The request is over: no new read or write may start, and one that
    // another thread of the application left running (its receive or send
    // done with the lock released) is waited for, within its time limit,
    // before the request's objects go.
    void end() {
        ended_ = true;
        while (reading_ || writing_) {
            Py_BEGIN_ALLOW_THREADS
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Py_END_ALLOW_THREADS
        }
    }

    BodyFailure body_failure() const { return failure_; }
    const BodyWriter& writer() const { return writer_; }
    bool keep() const { return keep_ && writer_.reusable(); }

private:
    // One read and one write at a time: a send or a receive lets the lock
    // go, and another thread of the application must not come in between.
    class Busy {
    public:
        explicit Busy(bool& flag) : flag_(flag), taken_(!flag) {
            if (taken_)
                flag_ = true;
            else
                PyErr_SetString(PyExc_RuntimeError,
                                "the request's body is being read or written by another thread");
        }
        ~Busy() {
            if (taken_) flag_ = false;
        }
        explicit operator bool() const { return taken_; }

    private:
        bool& flag_;
        bool taken_;
    };

    Py_ssize_t refuse_after_end() {
        PyErr_SetString(PyExc_RuntimeError,
                        "the request is over: its body can no longer be read or written");
        return -1;
    }

    Py_ssize_t fail(BodyFailure why) {
        failure_ = why;
        keep_ = false;
        if (PyErr_Occurred()) return -1;  // the channel's own: a time limit, a reset
        return failed_again();
    }

    Py_ssize_t failed_again() {
        switch (failure_) {
            case BodyFailure::too_large:
                PyErr_Format(body_too_large_error, "the request body is over max_body (%llu bytes)",
                             static_cast<unsigned long long>(c_.max_body));
                break;
            case BodyFailure::malformed:
                PyErr_SetString(PyExc_OSError, "the request body's chunked framing is malformed");
                break;
            default:
                PyErr_SetString(PyExc_ConnectionResetError,
                                "the client closed the connection before the end of the request "
                                "body");
        }
        return -1;
    }

    bool send_piece(PyObject* piece) {
        if (!PyBytes_Check(piece)) {
            PyErr_Format(PyExc_TypeError, "the application's iterable gave %.100s, not bytes",
                         Py_TYPE(piece)->tp_name);
            return false;
        }
        return write(PyBytes_AS_STRING(piece), static_cast<size_t>(PyBytes_GET_SIZE(piece)));
    }

    // The head composed, its framing chosen: a Content-Length the
    // application gave, or one of a body known whole (`known`), else
    // chunked to HTTP/1.1 and to the close for HTTP/1.0.
    bool open(bool known, uint64_t length) {
        const ResponseStart& s = response_start(start_);
        if (!s.called) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the application gave body bytes (or returned) without calling "
                            "start_response()");
            return false;
        }
        bool sends_body = status_has_body(s.status) && head_.method != "HEAD";
        ResponseFraming framing;
        char line[framing_line_capacity];
        std::string_view announced;
        if (!status_has_body(s.status)) {
            framing = ResponseFraming::none;
        } else if (s.has_length) {
            framing = ResponseFraming::length;
            length = s.length;
        } else if (known) {
            framing = ResponseFraming::length;
            announced = framing_line(framing, length, line);
        } else if (head_.minor_version >= 1) {
            framing = ResponseFraming::chunked;
            announced = framing_line(framing, 0, line);
        } else {
            framing = ResponseFraming::until_close;
        }
        // A body left in the connection would be read as the next request:
        // when all of it already came, what the application leaves of it is
        // dropped at the end (see finish_body); anything more ends the
        // connection.
        keep_ = keep_ && source_.rest_buffered() && !c_.carry_lost && !*stopping_ &&
                framing != ResponseFraming::until_close;
        std::string_view date = s.has_date ? std::string_view() : date_line();
        std::string_view lines[] = {s.has_server ? std::string_view() : server_line,
                                    keep_ ? keep_line : close_line, date, announced, "\r\n"};
        char joined[256];
        size_t size = 0;
        for (std::string_view l : lines) {
            if (l.empty()) continue;
            std::memcpy(joined + size, l.data(), l.size());
            size += l.size();
        }
        if (!append_to_head(start_, std::string_view(joined, size))) return false;
        writer_.begin(response_head(start_), sends_body ? framing : ResponseFraming::none, length);
        opened_ = true;
        return true;
    }

    // A wrapped file with a descriptor, sent from its position by the
    // kernel: 1 sent, 0 not such a file (it is then iterated), -1 an error.
    int send_wrapped_file(PyObject* file) {
        Ref method = optional_attribute(file, wsgi_names.fileno);
        Ref number = method ? call(method.get()) : Ref();
        long fd = number ? PyLong_AsLong(number.get()) : -1;
        struct stat st;
        if (fd < 0 || fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode)) {
            // No descriptor (io.BytesIO says so by raising), or not a file.
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OSError) &&
                !PyErr_ExceptionMatches(PyExc_ValueError))
                return -1;
            PyErr_Clear();
            return 0;
        }
        // The position the application left, as the file object counts it
        // (its own buffering may have read ahead of the descriptor's).
        method = optional_attribute(file, wsgi_names.tell);
        Ref at = method ? call(method.get()) : Ref();
        long long offset = at ? PyLong_AsLongLong(at.get()) : -1;
        if (offset < 0) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OSError) &&
                !PyErr_ExceptionMatches(PyExc_ValueError))
                return -1;
            PyErr_Clear();
            return 0;
        }
        uint64_t size = static_cast<uint64_t>(st.st_size);
        uint64_t count =
            size > static_cast<uint64_t>(offset) ? size - static_cast<uint64_t>(offset) : 0;
        if (!opened_ && !open(false, 0)) return -1;
        // A Content-Length takes that much of the file (a range of it, say):
        // what follows in the file is not the body's, and no excess.
        const ResponseStart& s = response_start(start_);
        if (s.has_length) count = std::min(count, s.length - std::min(s.length, writer_.sent()));
        return writer_.write_file(static_cast<int>(fd), static_cast<uint64_t>(offset), count) ? 1
                                                                                              : -1;
    }

    Connection& c_;
    const RequestHead& head_;
    BodySource source_;
    BodyWriter writer_;
    PyObject* start_ = nullptr;  // borrowed
    const bool* stopping_;
    bool keep_;
    bool begun_ = false, opened_ = false, reading_ = false, writing_ = false, ended_ = false;
    BodyFailure failure_ = BodyFailure::none;
};

// The objects lent to the application, taken back however the request
// ends: kept by the application, they refuse to touch the connection;
// kept by no one, they serve the connection's next request.
class Lent {
public:
    Lent(Connection& c, Exchange& exchange) : c_(c) {
        if (c.spare_input && Py_REFCNT(c.spare_input.get()) == 1) {
            input = std::move(c.spare_input);
            lend_input_stream(input.get(), &exchange);
        } else {
            input = new_input_stream(&exchange);
        }
        if (c.spare_start_response && Py_REFCNT(c.spare_start_response.get()) == 1) {
            start = std::move(c.spare_start_response);
            lend_start_response(start.get(), &exchange);
        } else {
            start = new_start_response(&exchange);
        }
    }
    ~Lent() {
        if (input) end_input_stream(input.get());
        if (start) end_start_response(start.get());
        c_.spare_input = std::move(input);
        c_.spare_start_response = std::move(start);
    }
    Ref input, start;

private:
    Connection& c_;
};

// The result's close(), called on every path; false with its error set.
bool close_result(PyObject* result) {
    if (PyList_CheckExact(result) || PyTuple_CheckExact(result)) return true;
    Ref close = optional_attribute(result, wsgi_names.close);
    if (close) return static_cast<bool>(call(close.get()));
    return !PyErr_Occurred();
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

}  // namespace

Answer serve_wsgi_request(const SessionOptions& o, const SessionControl& control,
                          Connection& c) {
    const WsgiSettings& w = *o.wsgi;
    const RequestHead& head = c.request;
    switch (read_head_strictly(c)) {
        case HeadFault::none: break;
        case HeadFault::not_implemented: return answer_own(c, not_implemented);
        case HeadFault::version_not_supported: return answer_own(c, version_not_supported);
        default: return answer_own(c, bad_request);
    }
    take_request_head(c);
    if (head.framing.kind == BodyFraming::Kind::length && head.framing.length > c.max_body)
        return answer_own(c, too_large);
    bool keep = o.keep_alive_seconds > 0 && !*control.stopping &&
                (head.minor_version >= 1 ? !head.connection.close : head.connection.keep_alive);

    Forwarded forwarded = read_forwarded(o.trusted, c.peer.host, head.fields);
    Ref remote_addr = text(forwarded.client.empty() ? std::string_view(c.peer.host) : forwarded.client);
    if (!c.peer_port) c.peer_port = Ref::steal(PyUnicode_FromFormat("%u", unsigned(c.peer.port)));
    PyObject* remote_port = c.peer_port.get();
    // Each receive of the body and each send of the response has its limit
    // (a request without a body receives nothing).
    bool ready = remote_addr && remote_port &&
                 (head.framing.kind == BodyFraming::Kind::none ||
                  c.channel.set_timeout(wsgi_names.body_wait)) &&
                 c.channel.set_send_timeout(names.send_timeout);

    Exchange exchange(c, head, keep, control.stopping);
    Ref environ, result;
    Lent lent(c, exchange);
    if (ready) {
        if (lent.input && lent.start) {
            exchange.lend(lent.start.get());
            EnvironInputs in{
                w.environ_base,  &head,
                w.root_path,     remote_addr.get(),
                remote_port,     w.server_name,
                w.server_port,   forwarded.scheme.empty() ? o.tls : forwarded.scheme == "https",
                o.tls,           forwarded.host,
                lent.input.get()};
            environ = build_environ(in);
        }
    }
    if (environ) result = call(w.app, environ.get(), lent.start.get());
    bool sent = result && exchange.send_result(result.get());
    SavedError failure;  // what the application (or the send) raised
    if (result && !close_result(result.get()) && !failure.empty())
        PyErr_WriteUnraisable(result.get());  // the first error is the one reported
    SavedError closing;                       // what close() raised, when nothing had before
    environ = Ref();
    exchange.end();
    exchange.finish_body();

    const BodyWriter& out = exchange.writer();
    const ResponseStart* start = lent.start ? &response_start(lent.start.get()) : nullptr;
    int status = start && start->called ? static_cast<int>(start->status) : 0;
    Answer answer{exchange.keep(), status, out.sent(), false, forwarded.client};
    if (sent && failure.empty() && closing.empty()) {
        if (out.over())
            report_request(head, "the application gave more body than its Content-Length");
        if (out.cut())
            report_request(head, "the application gave less body than its Content-Length");
        return answer;
    }
    answer.keep = false;
    if (c.channel.broken()) return answer;  // the client went away: nothing to report
    const SavedError& error = failure.empty() ? closing : failure;
    BodyFailure body = exchange.body_failure();
    if (!out.head_sent()) {
        if (body == BodyFailure::too_large) return answer_own(c, too_large);
        if (body == BodyFailure::malformed) return answer_own(c, bad_request);
        if (body == BodyFailure::cut) return {false, 0, 0, false, forwarded.client};
        error.restore_copy();
        report_request_error(head, "the application raised");
        answer = answer_own(c, route_failed, !c.body_complete);
        answer.client = forwarded.client;
        return answer;
    }
    // Too late for a 500: the client sees a cut response, never a
    // complete-looking one. A body the client cut short is its own doing.
    if (body == BodyFailure::none) {
        error.restore_copy();
        report_request_error(head, "the application raised");
    }
    return answer;
}

}  // namespace zelweb
