// The strict head reader over arbitrary bytes: every view lies in the input,
// and a head it reads to the end rebuilds into the same bytes, holds no
// stray CR, LF or NUL, and gives the fields the lenient walk gives.
#include <string>

#include "fuzz_input.hpp"
#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/request_head.hpp"

using namespace zelweb_test;
using zelweb::BodyFraming;
using zelweb::HeadFault;
using zelweb::TargetForm;

namespace {

bool inside(std::string_view view, std::string_view in) {
    return view.empty() ||
           (view.data() >= in.data() && view.data() + view.size() <= in.data() + in.size());
}

// No NUL, and every CR and LF paired as CRLF.
bool only_crlf_breaks(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\0') return false;
        if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) return false;
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    zelweb::RequestHead h;
    HeadFault fault = zelweb::read_request_head(in, h);
    for (std::string_view v : {h.method, h.target, h.protocol, h.path, h.query, h.host,
                               h.content_type, h.user_agent, h.cookie, h.auth, h.fields})
        FUZZ_CHECK(inside(v, in));
    if (fault == HeadFault::bad_request) return 0;

    // Read to the end: the whole input is a well-formed head.
    std::string rebuilt = std::string(h.method) + " " + std::string(h.target) + " " +
                          std::string(h.protocol) + "\r\n" + std::string(h.fields) + "\r\n";
    FUZZ_CHECK(rebuilt == in);
    FUZZ_CHECK(only_crlf_breaks(in));
    FUZZ_CHECK(zelweb::is_token(h.method) && h.method != "CONNECT");
    FUZZ_CHECK(h.protocol.size() == 8 && h.protocol.substr(0, 5) == "HTTP/");
    for (unsigned char c : h.target) FUZZ_CHECK(c > 0x20 && c != 0x7F && c != '#');
    if (fault == HeadFault::version_not_supported)
        FUZZ_CHECK(h.protocol[5] != '1');
    else
        FUZZ_CHECK(h.protocol[5] == '1' && h.minor_version == (h.protocol[7] == '0' ? 0 : 1));

    std::string split(h.path);
    if (h.has_query) split += "?" + std::string(h.query);
    switch (h.form) {
        case TargetForm::origin: FUZZ_CHECK(h.target[0] == '/' && split == h.target); break;
        case TargetForm::asterisk: FUZZ_CHECK(h.target == "*" && h.method == "OPTIONS"); break;
        case TargetForm::absolute: {
            FUZZ_CHECK(h.has_host && !h.host.empty() && h.host.find('@') == h.host.npos);
            std::string_view tail = h.target.substr(h.target.find("//") + 2);
            FUZZ_CHECK(tail.substr(0, h.host.size()) == h.host);
            tail.remove_prefix(h.host.size());
            // An empty path reads as "/", which the target does not hold.
            if (tail.empty() || tail[0] == '?') split.erase(0, 1);
            FUZZ_CHECK(split == tail && h.path[0] == '/');
            break;
        }
    }

    // Every field line is a token, a colon and a value, as the lenient walk
    // finds it too; the recognised values are the ones it would give.
    size_t lines = 0, hosts = 0;
    bool expect = false;
    std::string_view content_type, host, user_agent, cookie, auth;
    zelweb::FramingReader lengths;
    zelweb::for_each_header_line(
        h.fields, false, [&](std::string_view name, std::string_view value) {
            ++lines;
            FUZZ_CHECK(zelweb::is_token(name));
            FUZZ_CHECK(value.find_first_of(std::string_view("\r\n\0", 3)) == value.npos);
            if (zelweb::header_name_is(name, "Host")) ++hosts, host = value;
            if (zelweb::header_name_is(name, "Content-Type")) content_type = value;
            if (zelweb::header_name_is(name, "User-Agent")) user_agent = value;
            if (zelweb::header_name_is(name, "Cookie")) cookie = value;
            if (zelweb::header_name_is(name, "Auth")) auth = value;
            if (zelweb::header_name_is(name, "Expect"))
                expect = zelweb::header_name_is(value, "100-continue");
            if (zelweb::header_name_is(name, "Content-Length")) lengths.content_length(value);
        });
    FUZZ_CHECK(lines == h.field_count && hosts <= 1);
    FUZZ_CHECK(content_type == h.content_type && expect == h.expect_continue);
    FUZZ_CHECK(user_agent == h.user_agent && cookie == h.cookie && auth == h.auth);
    if (h.form != TargetForm::absolute) FUZZ_CHECK(h.has_host == (hosts == 1) && h.host == host);

    BodyFraming framing = lengths.result();
    switch (h.framing.kind) {
        case BodyFraming::Kind::length:
            FUZZ_CHECK(framing.kind == BodyFraming::Kind::length &&
                       framing.length == h.framing.length);
            break;
        case BodyFraming::Kind::chunked:
        case BodyFraming::Kind::unsupported:
            FUZZ_CHECK(framing.kind == BodyFraming::Kind::none &&
                       (h.minor_version == 1 || h.protocol[5] != '1'));
            break;
        case BodyFraming::Kind::none: FUZZ_CHECK(framing.kind == BodyFraming::Kind::none); break;
        case BodyFraming::Kind::conflicting: FUZZ_CHECK(false);
    }
    FUZZ_CHECK((fault == HeadFault::not_implemented) ==
               (h.framing.kind == BodyFraming::Kind::unsupported && h.protocol[5] == '1'));

    // A head ends at its empty line and nowhere before.
    FUZZ_CHECK(zelweb::read_request_head(in.substr(0, in.size() - 1), h) == HeadFault::bad_request);
    return 0;
}
