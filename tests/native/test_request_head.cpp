// The strict request-head reader: a table of refused heads, one of accepted
// targets, the fields an accepted head gives, and the order of verdicts.
#include <cstdio>
#include <string>
#include <string_view>

#include "check.hpp"
#include "parse/request_head.hpp"

using namespace zelweb;
using namespace std::string_literals;
using std::string;
using std::string_view;

namespace {

constexpr HeadFault ok = HeadFault::none, bad = HeadFault::bad_request,
                    unimplemented = HeadFault::not_implemented,
                    version = HeadFault::version_not_supported;

HeadFault verdict(string_view head) {
    RequestHead h;
    return read_request_head(head, h);
}

// A GET of / with a Host line and the given field lines.
string get_with(string_view lines) {
    return "GET / HTTP/1.1\r\nHost: a\r\n" + string(lines) + "\r\n";
}

void test_verdicts() {
    struct Row {
        const char* what;
        string head;
        HeadFault want;
    };
    const Row rows[] = {
        // Requests hidden in a header line.
        {"space before colon", get_with("Content-Length : 3\r\n"), bad},
        {"tab before colon", get_with("Content-Length\t: 3\r\n"), bad},
        {"bare LF in value", get_with("X: a\nContent-Length: 26\r\n"), bad},
        {"bare CR in value", get_with("X: a\rContent-Length: 26\r\n"), bad},
        {"NUL in value", get_with("X: a\0b\r\n"s), bad},
        {"NUL in name", get_with("X\0: b\r\n"s), bad},
        {"NUL in request line", "GET /\0 HTTP/1.1\r\n\r\n"s, bad},
        {"bare CR after the version", "GET / HTTP/1.1\r\r\n\r\n", bad},
        {"bare LF in name", get_with("X\n: b\r\n"), bad},
        {"bare CR ending a line", get_with("X: b\r"), bad},
        {"LF-only head", "GET / HTTP/1.1\nHost: a\n\n", bad},
        {"LF-only request line", "GET / HTTP/1.1\n\r\n", bad},
        {"CR-only head", "GET / HTTP/1.1\r\r\r\r", bad},
        {"no empty line", "GET / HTTP/1.1\r\nHost: a\r\n", bad},
        {"bytes after the empty line", get_with("") + "GET", bad},
        {"empty head", "", bad},
        // Field lines.
        {"folded line", get_with("X: a\r\n b\r\n"), bad},
        {"folded with tab", get_with("X: a\r\n\tb\r\n"), bad},
        {"no colon", get_with("X-Value\r\n"), bad},
        {"empty name", get_with(": b\r\n"), bad},
        {"name with slash", get_with("X/Y: b\r\n"), bad},
        {"name with 0x80", get_with("X\x80: b\r\n"), bad},
        {"two Host lines", get_with("Host: a\r\n"), bad},
        {"Host with userinfo", "GET / HTTP/1.1\r\nHost: u@a\r\n\r\n", bad},
        {"Host with a slash", "GET / HTTP/1.1\r\nHost: a/b\r\n\r\n", bad},
        {"value with tab, DEL and 0x80", get_with("X: a\tb\x7f\xff\x01\r\n"), ok},
        {"no Host", "GET / HTTP/1.1\r\n\r\n", ok},
        {"empty Host", "GET / HTTP/1.1\r\nHost:\r\n\r\n", ok},
        // Framing.
        {"TE on HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", bad},
        {"TE gzip", get_with("Transfer-Encoding: gzip\r\n"), unimplemented},
        {"TE gzip, chunked", get_with("Transfer-Encoding: gzip, chunked\r\n"), unimplemented},
        {"TE gzip on two lines",
         get_with("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"), unimplemented},
        {"TE chunked, gzip", get_with("Transfer-Encoding: chunked, gzip\r\n"), bad},
        {"TE chunked, chunked", get_with("Transfer-Encoding: chunked, chunked\r\n"), bad},
        {"TE chunked on two lines",
         get_with("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"), bad},
        {"TE empty", get_with("Transfer-Encoding: \r\n"), bad},
        {"TE commas only", get_with("Transfer-Encoding: , ,\r\n"), bad},
        {"TE chunked with parameter", get_with("Transfer-Encoding: chunked;x=1\r\n"), bad},
        {"TE not a token", get_with("Transfer-Encoding: \"chunked\"\r\n"), bad},
        {"TE with CL", get_with("Transfer-Encoding: chunked\r\nContent-Length: 3\r\n"), bad},
        {"TE with empty elements", get_with("Transfer-Encoding: , CHUNKED ,\r\n"), ok},
        {"CL not digits", get_with("Content-Length: 3a\r\n"), bad},
        {"CL signed", get_with("Content-Length: +3\r\n"), bad},
        {"CL list", get_with("Content-Length: 3, 3\r\n"), bad},
        {"CL empty", get_with("Content-Length:\r\n"), bad},
        {"CLs that differ", get_with("Content-Length: 3\r\nContent-Length: 4\r\n"), bad},
        {"CLs that agree", get_with("Content-Length: 3\r\nContent-Length: 3\r\n"), ok},
        // The request line.
        {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", version},
        {"HTTP/0.9", "GET / HTTP/0.9\r\n\r\n", version},
        {"HTTP/1.2", "GET / HTTP/1.2\r\n\r\n", ok},
        {"HTTP/1.10", "GET / HTTP/1.10\r\n\r\n", bad},
        {"lower-case http", "GET / http/1.1\r\n\r\n", bad},
        {"no version", "GET /\r\n\r\n", bad},
        {"words after the version", "GET / HTTP/1.1 extra\r\n\r\n", bad},
        {"double space", "GET  / HTTP/1.1\r\n\r\n", bad},
        {"tab for space", "GET\t/ HTTP/1.1\r\n\r\n", bad},
        {"method not a token", "G(T / HTTP/1.1\r\n\r\n", bad},
        {"empty method", " / HTTP/1.1\r\n\r\n", bad},
        // Targets.
        {"fragment", "GET /a#b HTTP/1.1\r\n\r\n", bad},
        {"fragment in query", "GET /a?b#c HTTP/1.1\r\n\r\n", bad},
        {"control byte", "GET /a\x01 HTTP/1.1\r\n\r\n", bad},
        {"DEL", "GET /a\x7f HTTP/1.1\r\n\r\n", bad},
        {"0x80 and up", "GET /caf\xc3\xa9?q=\xff HTTP/1.1\r\n\r\n", ok},
        {"GET *", "GET * HTTP/1.1\r\n\r\n", bad},
        {"OPTIONS *?", "OPTIONS *? HTTP/1.1\r\n\r\n", bad},
        {"authority form", "CONNECT a.example:443 HTTP/1.1\r\n\r\n", bad},
        {"CONNECT origin form", "CONNECT / HTTP/1.1\r\n\r\n", bad},
        {"relative path", "GET a/b HTTP/1.1\r\n\r\n", bad},
        {"other scheme", "GET ftp://a/b HTTP/1.1\r\n\r\n", bad},
        {"empty authority", "GET http:///b HTTP/1.1\r\n\r\n", bad},
        {"userinfo", "GET http://u:p@a/b HTTP/1.1\r\n\r\n", bad},
        {"backslash in authority", "GET http://a\\b/ HTTP/1.1\r\n\r\n", bad},
        {"absolute form and two Hosts", "GET http://a/ HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
         bad},
    };
    for (const Row& row : rows) {
        HeadFault got = verdict(row.head);
        if (got != row.want) std::fprintf(stderr, "%s: verdict %d\n", row.what, int(got));
        CHECK(got == row.want);
    }
}

void test_targets() {
    struct Row {
        string_view head;
        TargetForm form;
        string_view path, query, host;
        bool has_query;
    };
    const Row rows[] = {
        {"GET /a/b?x=1?y=2 HTTP/1.1\r\nHost: h\r\n\r\n", TargetForm::origin, "/a/b", "x=1?y=2", "h",
         true},
        {"GET /a? HTTP/1.1\r\n\r\n", TargetForm::origin, "/a", "", "", true},
        {"GET http://example.com/foo HTTP/1.1\r\nHost: other\r\n\r\n", TargetForm::absolute, "/foo",
         "", "example.com", false},
        {"GET http://example.com HTTP/1.1\r\n\r\n", TargetForm::absolute, "/", "", "example.com",
         false},
        {"GET http://example.com?q=1 HTTP/1.1\r\n\r\n", TargetForm::absolute, "/", "q=1",
         "example.com", true},
        {"GET https://h:8443/p?q HTTP/1.1\r\n\r\n", TargetForm::absolute, "/p", "q", "h:8443",
         true},
        {"GET HTTP://[::1]:80/ HTTP/1.1\r\n\r\n", TargetForm::absolute, "/", "", "[::1]:80", false},
        {"OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", TargetForm::asterisk, "*", "", "h", false},
    };
    for (const Row& row : rows) {
        RequestHead h;
        CHECK(read_request_head(row.head, h) == ok);
        CHECK(h.form == row.form && h.path == row.path && h.query == row.query);
        CHECK(h.has_query == row.has_query && h.host == row.host &&
              h.has_host == !row.host.empty());
        // Every view lies in the head, even the "/" of an empty path.
        CHECK(h.path.data() >= row.head.data() &&
              h.path.data() + h.path.size() <= row.head.data() + row.head.size());
    }
}

void test_accepted_fields() {
    const string_view head =
        "POST /up HTTP/1.0\r\nHost:  h \r\nContent-Type: text/plain; charset=utf-8\t\r\n"
        "Content-Length: 012\r\nConnection: Keep-Alive, x\r\nExpect: 100-Continue\r\n"
        "cookie: a=1\r\nCOOKIE:  b=2 \r\nuser-agent: curl/8\r\nAuth: u=1\r\n\r\n";
    RequestHead h;
    CHECK(read_request_head(head, h) == ok);
    CHECK(h.method == "POST" && h.target == "/up" && h.protocol == "HTTP/1.0" &&
          h.minor_version == 0);
    CHECK(h.host == "h" && h.content_type == "text/plain; charset=utf-8");
    CHECK(h.framing.kind == BodyFraming::Kind::length && h.framing.length == 12);
    CHECK(h.connection.keep_alive && !h.connection.close && h.expect_continue);
    CHECK(h.cookie == "b=2" && h.user_agent == "curl/8" && h.auth == "u=1");
    CHECK(h.field_count == 9 && h.fields.substr(0, 11) == "Host:  h \r\n" &&
          h.fields.data() + h.fields.size() + 2 == head.data() + head.size());

    CHECK(read_request_head("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", h) == ok);
    CHECK(h.framing.kind == BodyFraming::Kind::chunked && !h.has_host && h.field_count == 1);
    CHECK(read_request_head("GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", h) == ok);
    CHECK(h.framing.kind == BodyFraming::Kind::none);
    CHECK(read_request_head("GET / HTTP/1.1\r\n\r\n", h) == ok);
    CHECK(h.fields.empty() && h.field_count == 0 && h.minor_version == 1 && !h.expect_continue);
    CHECK(h.cookie.empty() && h.user_agent.empty() && h.auth.empty());
    CHECK(read_request_head("GET / HTTP/1.2\r\n\r\n", h) == ok && h.minor_version == 1);
}

// A 400 anywhere beats a 505 and a 501, whichever comes first.
void test_verdict_order() {
    CHECK(verdict(get_with("Transfer-Encoding: gzip\r\nX : y\r\n")) == bad);
    CHECK(verdict(get_with("X : y\r\nTransfer-Encoding: gzip\r\n")) == bad);
    CHECK(verdict(get_with("Transfer-Encoding: gzip\r\nContent-Length: 1\r\n")) == bad);
    CHECK(verdict(get_with("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked, chunked\r\n")) ==
          bad);
    CHECK(verdict("GET / HTTP/2.0\r\nTransfer-Encoding: gzip\r\n\r\n") == version);
    CHECK(verdict("GET / HTTP/2.0\r\nX : y\r\n\r\n") == bad);
}

}  // namespace

int main() {
    test_verdicts();
    test_targets();
    test_accepted_fields();
    test_verdict_order();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
