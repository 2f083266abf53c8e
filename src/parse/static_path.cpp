// Static paths: one decoding, then segment rules on what was decoded, so
// that "%2e%2e" and "..%2f" are caught as ".." is.
#include "parse/static_path.hpp"

#include "parse/percent.hpp"

namespace zelweb {

StaticPath resolve_static_path(std::string_view path, std::string_view prefix, char* out,
                               size_t capacity) {
    while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    if (path.substr(0, prefix.size()) != prefix) return {};
    std::string_view rest = path.substr(prefix.size());
    if (!rest.empty() && rest[0] != '/') return {};
    if (rest.empty() && path.empty()) return {};  // no path at all is no request for a file
    const StaticPath refused{StaticPathKind::refused, {}, false};

    // Decode once.
    size_t n = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '%') {
            int high = i + 2 < rest.size() ? hex_value(rest[i + 1]) : -1;
            int low = high >= 0 ? hex_value(rest[i + 2]) : -1;
            if (low < 0) return refused;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0' || c == '\\' || n == capacity) return refused;
        out[n++] = c;
    }
    bool directory = n == 0 || out[n - 1] == '/';

    // Then the segments, compacted in place: the output never outruns the input.
    size_t w = 0, i = 0;
    while (i < n) {
        if (out[i] == '/') {
            ++i;
            continue;
        }
        if (out[i] == '.') return refused;
        if (w > 0) out[w++] = '/';
        while (i < n && out[i] != '/') out[w++] = out[i++];
    }
    return {StaticPathKind::inside, std::string_view(out, w), directory};
}

}  // namespace zelweb
