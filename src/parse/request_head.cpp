// The strict request-head reader.
#include "parse/request_head.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace zelweb {

namespace {

enum : uint8_t {
    token_char = 1,   // a header name or method may hold it
    target_stop = 2,  // ends, splits or spoils a target: SP, '?', '#', a control byte
    value_stop = 4,   // ends or spoils a field value: CR, LF, NUL
    host_char = 8,    // may appear in an authority: no userinfo, no delimiter
};

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        for (const char* s = "!#$%&'*+-.^_`|~"; *s; ++s) alnum = alnum || c == *s;
        if (alnum) t[c] |= token_char;
        if (c < 0x21 || c == 0x7F || c == '?' || c == '#') t[c] |= target_stop;
        if (c == 0 || c == '\n' || c == '\r') t[c] |= value_stop;
        bool host = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        for (const char* s = "-._~!$&'()*+,;=:[]%"; *s; ++s) host = host || c == *s;
        if (host) t[c] |= host_char;
    }
    return t;
}
constexpr std::array<uint8_t, 256> classes = make_classes();

inline bool is(char c, uint8_t cls) { return classes[static_cast<unsigned char>(c)] & cls; }

// Whether any of the eight bytes of `word` is below 14 (NUL, LF and CR are).
inline bool has_byte_below_14(uint64_t word) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    return ((word - ones * 14) & ~word & highs) != 0;
}

// The first CR, LF or NUL from p, which the head's final CRLF bounds.
// Values are most of a head: eight ordinary bytes are passed at a time.
const char* find_value_stop(const char* p, const char* end) {
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (!has_byte_below_14(word)) {
            p += 8;
            continue;
        }
        for (const char* last = p + 8; p < last; ++p)
            if (is(*p, value_stop)) return p;
    }
    while (!is(*p, value_stop)) ++p;
    return p;
}

bool all_host_chars(std::string_view s) {
    for (char c : s)
        if (!is(c, host_char)) return false;
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A token compared with a name in lower case: setting bit 0x20 lowers a
// letter and maps no other token byte onto a letter or '-'.
inline bool token_is(std::string_view token, const char* lower) {
    for (char c : token)
        if ((c | 0x20) != *lower++) return false;
    return true;
}

enum class Field {
    other,
    host,
    content_length,
    transfer_encoding,
    content_type,
    connection,
    expect,
    user_agent,
    cookie,
    auth
};

Field field_of(std::string_view name) {
    switch (name.size()) {
        case 4:
            return token_is(name, "host")   ? Field::host
                   : token_is(name, "auth") ? Field::auth
                                            : Field::other;
        case 6:
            return token_is(name, "expect")   ? Field::expect
                   : token_is(name, "cookie") ? Field::cookie
                                              : Field::other;
        case 10:
            return token_is(name, "connection")   ? Field::connection
                   : token_is(name, "user-agent") ? Field::user_agent
                                                  : Field::other;
        case 12: return token_is(name, "content-type") ? Field::content_type : Field::other;
        case 14: return token_is(name, "content-length") ? Field::content_length : Field::other;
        case 17:
            return token_is(name, "transfer-encoding") ? Field::transfer_encoding : Field::other;
        default: return Field::other;
    }
}

// The transfer codings of every Transfer-Encoding line, as one list.
struct Codings {
    int lines = 0, listed = 0, chunked = 0;
    bool chunked_last = false, unsupported = false;

    // False: an element that is not a coding at all.
    bool add(std::string_view value) {
        ++lines;
        for (size_t start = 0;;) {
            size_t comma = value.find(',', start);
            std::string_view element =
                trim_blanks(value.substr(start, comma == value.npos ? value.npos : comma - start));
            if (!element.empty()) {
                ++listed;
                chunked_last = header_name_is(element, "chunked");
                if (chunked_last) {
                    ++chunked;
                } else {
                    std::string_view name = trim_blanks(element.substr(0, element.find(';')));
                    // chunked takes no parameters: one that has them is not understood.
                    if (!is_token(name) || header_name_is(name, "chunked")) return false;
                    unsupported = true;
                }
            }
            if (comma == value.npos) return true;
            start = comma + 1;
        }
    }
};

// The target's form, path, query and (absolute form) authority.
bool read_target(RequestHead& out, const char* question) {
    std::string_view t = out.target;
    size_t q = question ? static_cast<size_t>(question - t.data()) : t.size();
    out.has_query = question != nullptr;
    if (question) out.query = t.substr(q + 1);
    if (t[0] == '/') {
        out.path = t.substr(0, q);
        return true;
    }
    if (t == "*") {
        out.form = TargetForm::asterisk;
        out.path = t;
        return out.method == "OPTIONS";
    }
    size_t scheme = header_name_is(t.substr(0, 7), "http://")    ? 7
                    : header_name_is(t.substr(0, 8), "https://") ? 8
                                                                 : 0;
    if (scheme == 0) return false;
    out.form = TargetForm::absolute;
    std::string_view rest = t.substr(scheme, q - scheme);
    size_t slash = rest.find('/');
    out.host = rest.substr(0, slash);
    out.has_host = true;
    out.path = slash == rest.npos ? t.substr(scheme - 1, 1) : rest.substr(slash);
    return !out.host.empty() && all_host_chars(out.host);
}

}  // namespace

HeadFault read_request_head(std::string_view head, RequestHead& out) {
    constexpr HeadFault bad = HeadFault::bad_request;
    out = RequestHead();
    // The head's final CR bounds every scan below: none needs its own end test.
    if (head.size() < 4 || head.substr(head.size() - 4) != "\r\n\r\n") return bad;
    const char* p = head.data();
    const char* const end = p + head.size();

    // The request line.
    const char* word = p;
    while (is(*p, token_char)) ++p;
    if (p == word || *p != ' ') return bad;
    out.method = std::string_view(word, static_cast<size_t>(p - word));
    word = ++p;
    const char* question = nullptr;
    for (;; ++p) {
        if (!is(*p, target_stop)) continue;
        if (*p != '?') break;
        if (!question) question = p;
    }
    if (p == word || *p != ' ') return bad;
    out.target = std::string_view(word, static_cast<size_t>(p - word));
    word = ++p;
    if (end - p < 10 || std::memcmp(p, "HTTP/", 5) != 0 || !is_digit(p[5]) || p[6] != '.' ||
        !is_digit(p[7]) || p[8] != '\r' || p[9] != '\n')
        return bad;
    out.protocol = std::string_view(word, 8);
    bool other_major = p[5] != '1';
    out.minor_version = p[7] == '0' ? 0 : 1;
    p += 10;
    if (!read_target(out, question) || out.method == "CONNECT") return bad;

    // The field lines, up to the empty line that must end the head.
    const char* fields = p;
    int hosts = 0;
    FramingReader lengths;
    bool any_length = false;
    Codings codings;
    for (;; ++out.field_count) {
        // The first empty line is the last line.
        if (*p == '\r') {
            if (end - p != 2) return bad;
            break;
        }
        // A name runs to its colon: a folded line, a blank before the colon
        // or a line without one stops it elsewhere.
        const char* name = p;
        while (is(*p, token_char)) ++p;
        if (p == name || *p != ':') return bad;
        std::string_view field_name(name, static_cast<size_t>(p - name));
        const char* value = ++p;
        p = find_value_stop(p, end);
        if (p[0] != '\r' || p[1] != '\n') return bad;
        while (*value == ' ' || *value == '\t') ++value;
        const char* value_end = p;
        while (value_end > value && (value_end[-1] == ' ' || value_end[-1] == '\t')) --value_end;
        std::string_view v(value, static_cast<size_t>(value_end - value));
        p += 2;
        switch (field_of(field_name)) {
            case Field::other: break;
            case Field::host:
                if (++hosts > 1 || !all_host_chars(v)) return bad;
                if (out.form != TargetForm::absolute) {
                    out.host = v;
                    out.has_host = true;
                }
                break;
            case Field::content_length:
                lengths.content_length(v);
                any_length = true;
                break;
            case Field::transfer_encoding:
                if (!codings.add(v)) return bad;
                break;
            case Field::content_type: out.content_type = v; break;
            case Field::connection: read_connection_options(v, out.connection); break;
            case Field::expect: out.expect_continue = header_name_is(v, "100-continue"); break;
            case Field::user_agent: out.user_agent = v; break;
            case Field::cookie: out.cookie = v; break;
            case Field::auth: out.auth = v; break;
        }
    }
    out.fields = std::string_view(fields, static_cast<size_t>(p - fields));

    // The body's framing, once every line is known.
    out.framing = lengths.result();
    if (codings.lines > 0) {
        if (any_length || (out.minor_version == 0 && !other_major) || codings.listed == 0 ||
            codings.chunked > 1 || (codings.chunked == 1 && !codings.chunked_last))
            return bad;
        out.framing = BodyFraming();
        out.framing.kind =
            codings.unsupported ? BodyFraming::Kind::unsupported : BodyFraming::Kind::chunked;
    } else if (out.framing.kind == BodyFraming::Kind::conflicting || !out.framing.strict) {
        return bad;
    }
    if (other_major) return HeadFault::version_not_supported;
    if (codings.unsupported) return HeadFault::not_implemented;
    return HeadFault::none;
}

}  // namespace zelweb
