// A request header's name as a CGI (and WSGI) environment key: "HTTP_",
// then the name in capitals with each "-" as "_".
#pragma once
#include <cstddef>
#include <string_view>

namespace zelweb {

// The longest key written: longer names are made by the caller's slower way.
constexpr size_t cgi_key_capacity = 64;

// Writes the key of header `name` (a token) into `out` and returns its size;
// 0 when the name holds "_" (its key could not be told from the "-" one's,
// so a client could pass a header for another) or the key would not fit
// `capacity`.
size_t cgi_header_key(std::string_view name, char* out, size_t capacity);

// Whether the key of `name` would be dropped for its "_".
inline bool cgi_name_dropped(std::string_view name) {
    return name.find('_') != std::string_view::npos;
}

}  // namespace zelweb
