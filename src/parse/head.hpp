// Request-head parsing: the terminator scan, the request line and the header
// pass. Pure functions over bytes, independent of any socket.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zelweb {

// Finds the end of a head: the fourth of four consecutive CR/LF bytes, in any
// mix. `run` carries the current run of line-break bytes between calls, so a
// head received in chunks is scanned once. Returns the index just past the
// terminating byte within data[0, size), or nullopt when it is not there yet.
std::optional<size_t> scan_break_run(const char* data, size_t size, int& run);

// The request line cut at single spaces: a piece exists when the text before
// it held a space. Whatever follows the third space is ignored.
struct RequestLine {
    std::optional<std::string_view> method, target, protocol;
};
RequestLine split_request_line(std::string_view line);

// The head's first line (up to the first CR LF, or all of it).
std::string_view first_line(std::string_view head);

enum class HeaderName {
    content_type,
    cookie,
    auth,
    user_agent,
    content_length,
    expect,
    transfer_encoding,
    connection,
};

// Walks the head's lines (cut at CR LF), from the first one or from the one
// after the request line, and calls on_line(name, value) for every line that
// holds a ":": the name is the text before it, the value the rest of the line
// with the blanks around it removed. Lines without ":" carry no value.
template <typename F>
void for_each_header_line(std::string_view head, bool skip_request_line, F&& on_line);

// The same walk from the first line, for the recognised names only (compared
// regardless of case): on_header(which, value).
template <typename F>
void for_each_header(std::string_view head, F&& on_header);

bool header_name_is(std::string_view name, std::string_view wanted);  // ASCII case-insensitive

// The request line's version: 1 for HTTP/1.1 and any later HTTP/1.x, 0 for
// HTTP/1.0, -1 for another major version, -2 for no version at all.
int http_minor_version(std::string_view protocol);

// The options of a Connection line that decide persistence.
struct ConnectionOptions {
    bool close = false, keep_alive = false;
};
// Adds the comma-separated options of one Connection line, any case.
void read_connection_options(std::string_view value, ConnectionOptions& options);

// Whether `s` is an HTTP token (RFC 9110 section 5.6.2): one or more of the
// letters, digits and !#$%&'*+-.^_`|~, as a header name must be.
bool is_token(std::string_view s);
std::string_view trim_blanks(std::string_view s);

// Optional whitespace in a field value: a space or a tab.
constexpr bool is_ows(char c) { return c == ' ' || c == '\t'; }

// "Content-Length" read the way strtoul reads base 10 into 32 bits: leading
// white space, an optional sign, digits up to the first non-digit; no digits
// give 0; a minus sign negates modulo 2^32; a magnitude above 4294967295
// gives 4294967295 whatever the sign.
uint32_t parse_content_length(std::string_view value);

std::optional<HeaderName> recognise_header(std::string_view name);

template <typename F>
void for_each_header_line(std::string_view head, bool skip_request_line, F&& on_line) {
    size_t start = 0;
    for (bool first = true;; first = false) {
        size_t end = head.find("\r\n", start);
        std::string_view line = head.substr(start, end == head.npos ? head.npos : end - start);
        size_t colon = line.find(':');
        if (colon != line.npos && !(first && skip_request_line))
            on_line(line.substr(0, colon), trim_blanks(line.substr(colon + 1)));
        if (end == head.npos) return;
        start = end + 2;
    }
}

template <typename F>
void for_each_header(std::string_view head, F&& on_header) {
    for_each_header_line(head, false, [&](std::string_view name, std::string_view value) {
        if (auto which = recognise_header(name)) on_header(*which, value);
    });
}

}  // namespace zelweb
