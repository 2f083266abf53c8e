// Request-head parsing.
#include "parse/head.hpp"

#include <array>
#include <cstring>

namespace zelweb {

namespace {
// Whether any of the eight bytes of `word` is below 14 (CR is 13, LF 10).
inline bool has_byte_below_14(uint64_t word) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    return ((word - ones * 14) & ~word & highs) != 0;
}
}  // namespace

std::optional<size_t> scan_break_run(const char* data, size_t size, int& run) {
    size_t i = 0;
    while (i < size) {
        // Skip eight ordinary bytes at a time: most of a head is text.
        if (run == 0 && size - i >= 8) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            if (!has_byte_below_14(word)) {
                i += 8;
                continue;
            }
        }
        char c = data[i++];
        if (c == '\r' || c == '\n') {
            if (++run == 4) return i;
        } else {
            run = 0;
        }
    }
    return std::nullopt;
}

RequestLine split_request_line(std::string_view line) {
    RequestLine out;
    std::optional<std::string_view>* pieces[] = {&out.method, &out.target, &out.protocol};
    size_t start = 0;
    for (auto* piece : pieces) {
        size_t sp = line.find(' ', start);
        *piece = line.substr(start, sp == line.npos ? line.npos : sp - start);
        if (sp == line.npos) break;
        start = sp + 1;
    }
    return out;
}

std::string_view first_line(std::string_view head) { return head.substr(0, head.find("\r\n")); }

bool header_name_is(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char a = name[i], b = wanted[i];
        if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
        if (a != b) return false;
    }
    return true;
}

int http_minor_version(std::string_view protocol) {
    if (protocol.size() != 8 || protocol.substr(0, 5) != "HTTP/" || protocol[6] != '.') return -2;
    char major = protocol[5], minor = protocol[7];
    if (major < '0' || major > '9' || minor < '0' || minor > '9') return -2;
    if (major != '1') return -1;
    return minor == '0' ? 0 : 1;
}

void read_connection_options(std::string_view value, ConnectionOptions& options) {
    for (size_t start = 0;;) {
        size_t comma = value.find(',', start);
        std::string_view option =
            trim_blanks(value.substr(start, comma == value.npos ? value.npos : comma - start));
        if (header_name_is(option, "close")) options.close = true;
        if (header_name_is(option, "keep-alive")) options.keep_alive = true;
        if (comma == value.npos) return;
        start = comma + 1;
    }
}

namespace {

constexpr std::array<bool, 256> make_token_table() {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        for (const char* s = "!#$%&'*+-.^_`|~"; *s; ++s) ok = ok || c == *s;
        t[c] = ok;
    }
    return t;
}
constexpr std::array<bool, 256> token_table = make_token_table();

}  // namespace

bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!token_table[c]) return false;
    return true;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<HeaderName> recognise_header(std::string_view name) {
    switch (name.size()) {
        case 12:
            if (header_name_is(name, "Content-Type")) return HeaderName::content_type;
            break;
        case 6:
            if (header_name_is(name, "Cookie")) return HeaderName::cookie;
            if (header_name_is(name, "Expect")) return HeaderName::expect;
            break;
        case 4:
            if (header_name_is(name, "Auth")) return HeaderName::auth;
            break;
        case 10:
            if (header_name_is(name, "User-Agent")) return HeaderName::user_agent;
            if (header_name_is(name, "Connection")) return HeaderName::connection;
            break;
        case 14:
            if (header_name_is(name, "Content-Length")) return HeaderName::content_length;
            break;
        case 17:
            if (header_name_is(name, "Transfer-Encoding")) return HeaderName::transfer_encoding;
            break;
        default: break;
    }
    return std::nullopt;
}

uint32_t parse_content_length(std::string_view value) {
    size_t i = 0;
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < value.size() && is_space(value[i])) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
    uint64_t n = 0;
    bool any = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        any = true;
        n = n * 10 + static_cast<uint64_t>(value[i] - '0');
        if (n > UINT32_MAX) n = UINT32_MAX + uint64_t(1);  // saturate, keep scanning
    }
    if (!any) return 0;
    if (n > UINT32_MAX) return UINT32_MAX;  // out of range, whatever the sign
    uint32_t v = static_cast<uint32_t>(n);
    return negative ? static_cast<uint32_t>(0u - v) : v;
}

}  // namespace zelweb
