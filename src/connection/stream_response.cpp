// A streamed body through the body writer: chunked under serve's
// HTTP/1.1, else until the close.
#include "connection/stream_response.hpp"

#include <cstring>

#include "connection/body_writer.hpp"
#include "connection/compose.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

bool head_only(const HttpObject* http) {
    return !status_has_body(http->status) || std::strcmp(http->method, "HEAD") == 0;
}

// Every piece of the iterator through `body`, until it ends or a piece
// cannot be sent. False with an error set when the iterator or a piece
// failed, or the send did.
bool write_pieces(PyObject* iterator, BodyWriter& body) {
    for (;;) {
        Ref piece = Ref::steal(PyIter_Next(iterator));
        if (!piece) return !PyErr_Occurred();
        Py_buffer view;
        if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) != 0) return false;
        bool sent = view.len == 0 || body.write(static_cast<const char*>(view.buf),
                                                static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        if (!sent) return false;
    }
}

}  // namespace

bool stream_ends_with_connection(const Connection& c, const HttpObject* http) {
    if (head_only(http)) return false;
    return c.limits != Limits::extended || c.request.minor_version == 0;
}

bool send_stream(Connection& c, HttpObject* http, std::string_view lines) {
    ResponseFraming framing = head_only(http)                    ? ResponseFraming::none
                              : stream_ends_with_connection(c, http) ? ResponseFraming::until_close
                                                                     : ResponseFraming::chunked;
    char framing_text[framing_line_capacity];
    std::string_view framing_line_text = framing_line(framing, 0, framing_text);
    char all[256];
    size_t size = lines.size() + framing_line_text.size();
    bool fits = size <= sizeof all;
    if (fits) {
        std::memcpy(all, lines.data(), lines.size());
        if (!framing_line_text.empty())  // an empty view may hold no address at all
            std::memcpy(all + lines.size(), framing_line_text.data(), framing_line_text.size());
    }
    HeadShape shape = record_head(http, 0, std::string_view(all, fits ? size : 0));
    shape.announce_length = false;
    c.sent_status = shape.status;
    c.sent_body = 0;
    Ref head = fits ? compose_response(http, shape, {}) : Ref();
    if (!fits) PyErr_SetString(PyExc_RuntimeError, "response head lines too long");
    bool ok = false;
    if (head) {
        BodyWriter body(c.channel);
        body.begin(std::string_view(PyBytes_AS_STRING(head.get()),
                                    static_cast<size_t>(PyBytes_GET_SIZE(head.get()))),
                   framing);
        ok = framing == ResponseFraming::none || write_pieces(http->stream_iterator, body);
        // Cut short, the chunked body lacks its last chunk: the close tells the client.
        if (ok) ok = body.finish();
        c.sent_body = body.sent();
        c.body_cut_short = !ok || body.cut();
    }
    release_stream(http);  // closed on every path; a pending error is kept
    return ok;
}

}  // namespace zelweb
