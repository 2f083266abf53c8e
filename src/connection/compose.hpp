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

// Status line, extra headers, the server line, `lines` (the connection's,
// whole lines), cookies, type and length (none for a status without a body),
// the empty line; then `body`. One bytes object of the exact size, so
// nothing is ever truncated and a text goes out in the same send as its head.
Ref compose_response(const HttpObject* r, unsigned long long length, std::string_view body,
                     std::string_view lines);

}  // namespace zelweb
