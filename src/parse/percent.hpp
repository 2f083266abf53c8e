// Percent-decoding of a request path, as CGI and WSGI hand it to an
// application: every "%XX" becomes its byte, nothing else changes ("+" stays).
#pragma once
#include <cstddef>
#include <string_view>

namespace zelweb {

// Writes the decoded `in` to `out`, which has room for in.size() bytes (the
// result is never longer), and returns its size. A "%" not followed by two
// hex digits is kept as it is.
size_t percent_decode(std::string_view in, char* out);

// The value of a hex digit, either case; -1 for any other byte.
int hex_value(char c);

}  // namespace zelweb
