// The body of a POST, chosen by its media type; form and JSON texts.
#include "connection/body.hpp"

#include <cstring>

#include "connection/body_source.hpp"
#include "connection/form_fields.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "py/settings.hpp"

namespace zelweb {

namespace {

// Received until content_length bytes have arrived or the peer has closed.
Outcome read_text_body(Connection& c, HttpObject* http) {
    uint32_t length = http->content_length;
    if (length == 0) return Outcome::done;
    if (length > max_post) {
        print_message("MAX POST REACHED: %u\n", static_cast<unsigned>(max_post));
        return Outcome::done;
    }
    if (!c.body.allocate(size_t(length) + 1)) return Outcome::failed;
    attach_body(c, http);
    BodySource source(c, length);
    if (!source.begin()) return Outcome::failed;
    char* buffer = c.body.data();
    size_t got = 0;
    while (got < length) {
        Py_ssize_t n = source.read(buffer + got, length - got);
        if (n < 0) return Outcome::failed;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    buffer[got] = '\0';
    http->post_size = std::strlen(buffer);  // a zero byte ends the text
    return Outcome::done;
}

}  // namespace

Outcome read_body(Connection& c, HttpObject* http) {
    Ref timeout = Ref::steal(PyFloat_FromDouble(static_cast<double>(post_timeout)));
    if (!timeout || !call_method(c.con, names.settimeout, timeout.get())) return Outcome::failed;
    std::string_view type = field_text(http->request_content_type);
    if (type == "application/x-www-form-urlencoded" || type == "application/json")
        return read_text_body(c, http);
    if (type == "multipart/form-data" && http->content_length != 0) return read_upload(c, http);
    return Outcome::done;
}

}  // namespace zelweb
