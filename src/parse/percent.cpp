// Percent-decoding.
#include "parse/percent.hpp"

#include <cstring>

namespace zelweb {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);  // only 'A'-'F' fold onto 'a'-'f'
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

size_t percent_decode(std::string_view in, char* out) {
    const void* first = std::memchr(in.data(), '%', in.size());
    if (!first) {
        if (!in.empty()) std::memcpy(out, in.data(), in.size());
        return in.size();
    }
    size_t i = static_cast<size_t>(static_cast<const char*>(first) - in.data());
    std::memcpy(out, in.data(), i);
    size_t w = i;
    while (i < in.size()) {
        char c = in[i];
        int high, low;
        if (c == '%' && i + 2 < in.size() && (high = hex_value(in[i + 1])) >= 0 &&
            (low = hex_value(in[i + 2])) >= 0) {
            out[w++] = static_cast<char>(high * 16 + low);
            i += 3;
        } else {
            out[w++] = c;
            ++i;
        }
    }
    return w;
}

}  // namespace zelweb
