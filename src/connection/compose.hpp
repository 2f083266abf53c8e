// The response head, composed from the record.
#pragma once
#include <string_view>

#include "context/http_t.hpp"
#include "py/ref.hpp"

namespace zelweb {

// Whether a response of this status may carry a body (and so a length):
// not 1xx, 204 or 304.
bool status_has_body(unsigned status);

// The lines start's responses carry after the server line: the server
// closes after each, and a client that kept the connection for its next
// request would meet a reset.
constexpr std::string_view close_line = "Connection: close\r\n";
// serve's, for a connection kept for the next request.
constexpr std::string_view keep_line = "Connection: keep-alive\r\n";

// What a head says besides the record's header and cookie lines.
struct HeadShape {
    unsigned status;
    std::string_view status_text;
    std::string_view content_type;
    unsigned long long length;  // the Content-Length, for a status with a body
    std::string_view lines;     // whole lines after the server line: the connection's, a file's
    bool announce_length = true;  // false: the lines frame the body (chunked, or to the close)
};

// The record's own: its status, content type and status text, or under
// serve, when the application set no text, the status's standard phrase.
HeadShape record_head(const HttpObject* r, unsigned long long length, std::string_view lines);

// Status line, extra headers, the server line, the shape's lines, cookies,
// type and length (none for a status without a body), the empty line; then
// `body`. One bytes object of the exact size, so nothing is ever truncated
// and a text goes out in the same send as its head.
Ref compose_response(const HttpObject* r, const HeadShape& head, std::string_view body);

}  // namespace zelweb
