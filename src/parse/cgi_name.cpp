// Header names as environment keys.
#include "parse/cgi_name.hpp"

#include <cstring>

namespace zelweb {

size_t cgi_header_key(std::string_view name, char* out, size_t capacity) {
    if (cgi_name_dropped(name) || name.size() + 5 > capacity) return 0;
    std::memcpy(out, "HTTP_", 5);
    char* w = out + 5;
    for (char c : name)
        *w++ = c == '-' ? '_' : (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return name.size() + 5;
}

}  // namespace zelweb
