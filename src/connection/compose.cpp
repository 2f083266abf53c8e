// The response head.
#include "connection/compose.hpp"

#include <cstring>

#include "parse/reason_phrase.hpp"
#include "parse/text.hpp"

namespace zelweb {

namespace {

// Decimal digits of n, written backwards from `end`.
std::string_view decimal(unsigned long long n, char* end) {
    char* p = end;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    return std::string_view(p, static_cast<size_t>(end - p));
}

}  // namespace

bool status_has_body(unsigned status) {
    return !(status >= 100 && status < 200) && status != 204 && status != 304;
}

HeadShape record_head(const HttpObject* r, unsigned long long length, std::string_view lines) {
    bool phrase = r->limits == Limits::extended && !r->status_text_set;
    return {r->status, phrase ? reason_phrase(r->status) : status_text_of(r),
            field_text(r->content_type), length, lines};
}

Ref compose_response(const HttpObject* r, const HeadShape& head, std::string_view body) {
    char status_digits[8], size_digits[24];
    std::string_view status = decimal(head.status, status_digits + sizeof status_digits);
    std::string_view size = decimal(head.length, size_digits + sizeof size_digits);
    bool has_body = status_has_body(head.status) && head.announce_length;
    const std::string_view pieces[] = {
        field_text(r->response_protocol),
        " ",
        status,
        " ",
        head.status_text,
        "\r\n",
        headers_of(r),
        "server: Tovrel\r\n",
        head.lines,
        set_cookie_of(r),
        "Content-Type: ",
        head.content_type,
        has_body ? "\r\nContent-Length: " : "",
        has_body ? size : "",
        "\r\n\r\n",
        body,
    };
    size_t total = 0;
    for (auto p : pieces) total += p.size();
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out) return out;
    char* w = PyBytes_AS_STRING(out.get());
    for (auto p : pieces) {
        if (p.empty()) continue;  // an empty view may hold no address at all
        std::memcpy(w, p.data(), p.size());
        w += p.size();
    }
    return out;
}

}  // namespace zelweb
