// Entity-tags and the fields that compare them.
#include "parse/validators.hpp"

#include "parse/head.hpp"
#include "parse/http_date.hpp"

namespace zelweb {

namespace {

size_t put_hex(uint64_t value, char* out) {
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

bool is_etagc(unsigned char c) { return c == 0x21 || (c >= 0x23 && c != 0x7f); }

// The entity-tag at s[at]: its opaque tag (quotes included) and whether it
// is weak; false when none is there. `at` moves past it.
bool read_entity_tag(std::string_view s, size_t& at, std::string_view& opaque, bool& weak) {
    weak = s.compare(at, 2, "W/") == 0;
    size_t open = at + (weak ? 2 : 0);
    if (open >= s.size() || s[open] != '"') return false;
    size_t close = open + 1;
    while (close < s.size() && s[close] != '"') {
        if (!is_etagc(static_cast<unsigned char>(s[close]))) return false;
        ++close;
    }
    if (close >= s.size()) return false;
    opaque = s.substr(open, close + 1 - open);
    at = close + 1;
    return true;
}

// Whether `value` is "*" or a well-formed list of entity-tags holding one
// that matches `etag`, weakly or strongly.
bool list_holds(std::string_view value, std::string_view etag, bool strong) {
    if (value == "*") return true;
    bool matched = false, any = false;
    size_t at = 0;
    for (;;) {
        // Empty members (", ,") are allowed in a list.
        while (at < value.size() && (is_ows(value[at]) || value[at] == ',')) ++at;
        if (at == value.size()) return any && matched;
        std::string_view opaque;
        bool weak;
        if (!read_entity_tag(value, at, opaque, weak)) return false;
        any = true;
        matched = matched || (opaque == etag && !(strong && weak));
        while (at < value.size() && is_ows(value[at])) ++at;
        if (at < value.size() && value[at] != ',') return false;
    }
}

}  // namespace

size_t format_etag(uint64_t size, int64_t mtime_ns, char* out) {
    size_t n = 0;
    out[n++] = '"';
    n += put_hex(size, out + n);
    out[n++] = '-';
    n += put_hex(static_cast<uint64_t>(mtime_ns), out + n);
    out[n++] = '"';
    return n;
}

bool none_match_holds(std::string_view value, std::string_view etag) {
    return list_holds(value, etag, false);
}

bool match_holds(std::string_view value, std::string_view etag) {
    return list_holds(value, etag, true);
}

bool if_range_holds(std::string_view value, std::string_view etag, int64_t last_modified,
                    int64_t now) {
    if (value.substr(0, 1) == "\"" || value.substr(0, 2) == "W/") {
        size_t at = 0;
        std::string_view opaque;
        bool weak;
        return read_entity_tag(value, at, opaque, weak) && at == value.size() && !weak &&
               opaque == etag;
    }
    auto date = parse_http_date(value, now);
    return date && *date == last_modified;
}

}  // namespace zelweb
