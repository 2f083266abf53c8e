// Trusted proxies and the client they name.
#include "parse/forwarded.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "parse/head.hpp"

namespace zelweb {

namespace {

// The list's elements from the last one back: each trimmed, empty ones
// skipped. on_element returns false to stop.
template <typename F>
bool each_element_backwards(std::string_view list, F&& on_element) {
    size_t end = list.size();
    for (;;) {
        size_t comma = end == 0 ? list.npos : list.rfind(',', end - 1);
        size_t start = comma == list.npos ? 0 : comma + 1;
        std::string_view element = trim_blanks(list.substr(start, end - start));
        if (!element.empty() && !on_element(element)) return false;
        if (comma == list.npos) return true;
        end = comma;
    }
}

std::string_view last_element(std::string_view list) {
    std::string_view last;
    each_element_backwards(list, [&](std::string_view e) {
        last = e;
        return false;
    });
    return last;
}

bool in_network(const uint8_t (&address)[16], const IpNetwork& n) {
    unsigned whole = n.bits / 8, rest = n.bits % 8;
    if (std::memcmp(address, n.address, whole) != 0) return false;
    if (rest == 0) return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (address[whole] & mask) == (n.address[whole] & mask);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool authority_char(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::strchr("-._~!$&'()*+,;=:[]%", c) != nullptr && c != '\0';
}

}  // namespace

bool parse_ip(std::string_view text, uint8_t (&out)[16]) {
    char copy[48];  // the longest IPv6 text is 45 bytes
    if (text.empty() || text.size() >= sizeof copy || text.find('\0') != text.npos) return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    if (inet_pton(AF_INET6, copy, out) == 1) return true;
    uint8_t v4[4];
    if (inet_pton(AF_INET, copy, v4) != 1) return false;
    std::memset(out, 0, 10);
    out[10] = out[11] = 0xFF;
    std::memcpy(out + 12, v4, 4);
    return true;
}

bool TrustedProxies::add(std::string_view entry) {
    if (entry == "*") {
        any_ = true;
        return true;
    }
    if (count_ == forwarded_allow_limit) return false;
    IpNetwork& n = networks_[count_];
    size_t slash = entry.find('/');
    if (!parse_ip(entry.substr(0, slash), n.address)) return false;
    bool v4 = entry.substr(0, slash).find(':') == entry.npos;
    unsigned bits = 128;
    if (slash != entry.npos) {
        std::string_view digits = entry.substr(slash + 1);
        if (!all_digits(digits) || digits.size() > 3) return false;
        bits = 0;
        for (char c : digits) bits = bits * 10 + static_cast<unsigned>(c - '0');
        if (bits > (v4 ? 32u : 128u)) return false;
        if (v4) bits += 96;
    }
    n.bits = bits;
    ++count_;
    return true;
}

bool TrustedProxies::trusts(std::string_view address) const {
    if (any_) return true;
    uint8_t bytes[16];
    if (count_ == 0 || !parse_ip(address, bytes)) return false;
    for (size_t i = 0; i < count_; ++i)
        if (in_network(bytes, networks_[i])) return true;
    return false;
}

ForwardedFields collect_forwarded(std::string_view fields) {
    ForwardedFields f;
    std::string_view proto_line, host_line;
    for_each_header_line(fields, false, [&](std::string_view name, std::string_view value) {
        if (name.size() < 15 || !header_name_is(name.substr(0, 12), "x-forwarded-")) return;
        std::string_view which = name.substr(12);
        if (header_name_is(which, "for")) {
            if (f.for_count == forwarded_lines_limit) {
                std::memmove(f.for_lines, f.for_lines + 1,
                             sizeof f.for_lines - sizeof f.for_lines[0]);
                --f.for_count;
            }
            f.for_lines[f.for_count++] = value;
        } else if (header_name_is(which, "proto")) {
            proto_line = value;
        } else if (header_name_is(which, "host")) {
            host_line = value;
        }
    });
    f.proto = last_element(proto_line);
    f.host = last_element(host_line);
    return f;
}

std::string_view forwarded_client(const ForwardedFields& f, const TrustedProxies& trusted) {
    std::string_view farthest;
    for (size_t i = f.for_count; i-- > 0;) {
        std::string_view found;
        bool all_trusted = each_element_backwards(f.for_lines[i], [&](std::string_view e) {
            farthest = e;
            if (trusted.trusts(e)) return true;
            found = e;
            return false;
        });
        if (!all_trusted) return found;
    }
    return farthest;
}

std::string_view forwarded_scheme(const ForwardedFields& f) {
    if (header_name_is(f.proto, "https")) return "https";
    if (header_name_is(f.proto, "http")) return "http";
    return {};
}

std::string_view forwarded_host(const ForwardedFields& f) {
    for (char c : f.host)
        if (!authority_char(c)) return {};
    return f.host;
}

}  // namespace zelweb
