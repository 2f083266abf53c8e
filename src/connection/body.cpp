// The body of a request: chosen by the method and media type, read whole.
#include "connection/body.hpp"

#include <cstring>

#include "connection/body_source.hpp"
#include "parse/chunked.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "py/settings.hpp"

namespace zelweb {

namespace {

constexpr size_t first_chunked_buffer = 16 * 1024;

void report_max_post() { print_message("MAX POST REACHED: %u\n", static_cast<unsigned>(max_post)); }

// Whether the whole body came with the head, or after it into the buffer.
bool body_buffered(const Connection& c, bool chunked, uint64_t length) {
    const char* at = c.head + c.taken;
    size_t buffered = c.received - c.taken;
    if (!chunked) return buffered >= length;
    ChunkedDecoder decoder;
    char scratch[4096];
    while (buffered > 0) {
        auto r = decoder.decode(at, buffered, scratch, sizeof scratch);
        if (r.status != ChunkedDecoder::Status::need_more) return true;  // its end, or its fault
        if (r.consumed == 0) return false;
        at += r.consumed;
        buffered -= r.consumed;
    }
    return false;
}

// The whole body into the body buffer, with a zero byte after it, received
// to its end. A body over max_post is left unread (with a length) or dropped
// when the chunked framing shows it too big.
Outcome read_whole_body(Connection& c, HttpObject* http) {
    bool chunked = c.framing.kind == BodyFraming::Kind::chunked;
    uint64_t length = c.framing.length;
    if (!chunked && length > max_post) {
        report_max_post();
        return Outcome::done;
    }
    BodySource source(c);
    if (!source.begin()) return source.stop();
    if (c.may_wait_for_body && !body_buffered(c, chunked, length)) return Outcome::wait_for_body;
    // A length says how much room the body needs; a chunked body grows its
    // buffer as it comes, up to one byte past the limit.
    size_t room = chunked ? first_chunked_buffer : static_cast<size_t>(length) + 1;
    if (!c.body.resize(room)) return Outcome::failed;
    size_t got = 0;
    for (;;) {
        if (got + 1 == c.body.size()) {
            if (!chunked || got > max_post) break;
            size_t more =
                c.body.size() * 2 > size_t(max_post) + 2 ? size_t(max_post) + 2 : c.body.size() * 2;
            if (!c.body.resize(more)) return Outcome::failed;
        }
        Py_ssize_t n = source.read(c.body.data() + got, c.body.size() - 1 - got);
        if (n == BodySource::stopped) return source.stop();
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > max_post) {
        report_max_post();
        return Outcome::done;
    }
    char* text = c.body.data();
    text[got] = '\0';
    http->body = text;
    http->body_size = got;
    std::string_view type = field_text(http->request_content_type);
    if (std::strcmp(http->method, "POST") == 0 &&
        (type == "application/x-www-form-urlencoded" || type == "application/json")) {
        http->post = text;
        http->post_size = std::strlen(text);  // a zero byte ends the text
    }
    return Outcome::done;
}

}  // namespace

Outcome read_body(Connection& c, HttpObject* http) {
    bool post = std::strcmp(http->method, "POST") == 0;
    // A POST always gets the body's receive limit; another method only when
    // there is a body to read.
    if (!post && c.body_complete) return Outcome::done;
    Ref timeout = Ref::steal(PyFloat_FromDouble(static_cast<double>(post_timeout)));
    if (!timeout || !c.channel.set_timeout(timeout.get())) return Outcome::failed;
    if (c.body_complete) return Outcome::done;
    if (c.framing.kind == BodyFraming::Kind::length && c.framing.length > c.max_body)
        return Outcome::too_large;
    if (post && field_text(http->request_content_type) == "multipart/form-data")
        return read_upload(c, http);
    return read_whole_body(c, http);
}

}  // namespace zelweb
