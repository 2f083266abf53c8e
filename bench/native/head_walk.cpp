// One head read N times, by the strict reader or by the lenient walk that
// start's intake and serve's checks make today (request line, target split,
// recognised headers, framing, version, method token, spaces).
//   head_walk strict|lenient short|browser N
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/request_head.hpp"
#include "parse/target.hpp"
#include "parse/text.hpp"

using namespace zelweb;

namespace {

const char short_head[] =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n";
const char browser_head[] =
    "GET /?name=bench HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: gzip, deflate, br\r\n"
    "Connection: keep-alive\r\nCookie: session=abcdef0123456789; theme=dark\r\n"
    "Upgrade-Insecure-Requests: 1\r\nSec-Fetch-Dest: document\r\nSec-Fetch-Mode: navigate\r\n\r\n";

volatile size_t sink;

__attribute__((noinline)) void lenient(std::string_view bytes) {
    std::string_view head = text_before_nul(bytes.data(), bytes.size());
    std::string_view line = first_line(head);
    RequestLine words = split_request_line(line);
    TargetSplit target = split_target(words.target.value_or(""));
    ConnectionOptions connection;
    FramingReader framing;
    std::string_view media_type;
    bool expect = false;
    for_each_header(head, [&](HeaderName name, std::string_view value) {
        switch (name) {
            case HeaderName::content_type:
                media_type = trim_blanks(value.substr(0, value.find(';')));
                break;
            case HeaderName::content_length: framing.content_length(value); break;
            case HeaderName::expect: expect = header_name_is(value, "100-continue"); break;
            case HeaderName::transfer_encoding: framing.transfer_encoding(value); break;
            case HeaderName::connection: read_connection_options(value, connection); break;
            default: sink = value.size();
        }
    });
    size_t spaces = 0;
    for (char c : line) spaces += c == ' ';
    sink = framing.result().length + http_minor_version(words.protocol.value_or("")) +
           is_token(words.method.value_or("")) + spaces + target.path.size() + media_type.size() +
           expect + connection.close;
}

__attribute__((noinline)) void strict(std::string_view bytes) {
    RequestHead head;
    sink = static_cast<size_t>(read_request_head(bytes, head)) + head.path.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: head_walk strict|lenient short|browser N\n");
        return 2;
    }
    bool use_strict = std::strcmp(argv[1], "strict") == 0;
    std::string_view head = std::strcmp(argv[2], "short") == 0 ? short_head : browser_head;
    for (long i = std::atol(argv[3]); i > 0; --i) use_strict ? strict(head) : lenient(head);
    return 0;
}
