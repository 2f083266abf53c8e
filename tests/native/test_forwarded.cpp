// What an application is told about its request beyond the head's own
// words: the decoded path, the environment keys of header names, the host
// and port of an authority, and the client a trusted proxy names.
#include <cstdio>
#include <string>
#include <string_view>

#include "check.hpp"
#include "parse/authority.hpp"
#include "parse/cgi_name.hpp"
#include "parse/forwarded.hpp"
#include "parse/percent.hpp"

using namespace zelweb;
using std::string;
using std::string_view;

namespace {

string decoded(string_view in) {
    string out(in.size(), '\0');
    out.resize(percent_decode(in, out.data()));
    return out;
}

void test_percent_decode() {
    CHECK(decoded("/a%20b") == "/a b");
    CHECK(decoded("/%2F%2f") == "///");
    CHECK(decoded("/caf%C3%A9") == "/caf\xC3\xA9");
    CHECK(decoded("/a+b") == "/a+b");      // "+" is a space only in a query
    CHECK(decoded("/%zz%4") == "/%zz%4");  // not an escape: kept
    CHECK(decoded("%") == "%");
    CHECK(decoded("/%00x") == string("/\0x", 3));  // every byte, a NUL too
    CHECK(decoded("") == "");
}

string key(string_view name) {
    char out[cgi_key_capacity];
    return string(out, cgi_header_key(name, out, sizeof out));
}

void test_cgi_keys() {
    CHECK(key("User-Agent") == "HTTP_USER_AGENT");
    CHECK(key("x-a1") == "HTTP_X_A1");
    CHECK(key("X_Forwarded_For") == "");  // could pose as X-Forwarded-For
    CHECK(key(string(59, 'a')) == "HTTP_" + string(59, 'A'));
    CHECK(key(string(60, 'a')) == "");  // over the capacity: the caller's way
}

void test_authority() {
    struct Row {
        const char* in;
        const char* host;
        const char* port;
    };
    const Row rows[] = {
        {"example.com", "example.com", ""}, {"example.com:8080", "example.com", "8080"},
        {"[::1]:443", "[::1]", "443"},      {"[::1]", "[::1]", ""},
        {"10.0.0.1:", "10.0.0.1", ""},      {"", "", ""},
    };
    for (const Row& r : rows) {
        Authority a = split_authority(r.in);
        CHECK(a.host == r.host);
        CHECK(a.port == r.port);
    }
}

string client(string_view fields, std::initializer_list<const char*> allowed) {
    TrustedProxies trusted;
    for (const char* a : allowed) CHECK(trusted.add(a));
    return string(forwarded_client(collect_forwarded(fields), trusted));
}

void test_trusted_entries() {
    TrustedProxies t;
    CHECK(t.empty());
    CHECK(!t.add("10.0.0"));
    CHECK(!t.add("10.0.0.0/33"));
    CHECK(!t.add("::/129"));
    CHECK(!t.add("localhost"));
    CHECK(!t.add("10.0.0.1/"));
    CHECK(t.empty());
    CHECK(t.add("10.0.0.0/8") && t.add("fd00::/8") && t.add("192.0.2.7"));
    CHECK(t.trusts("10.200.3.4") && t.trusts("::ffff:10.1.1.1") && t.trusts("fd12::1"));
    CHECK(t.trusts("192.0.2.7") && !t.trusts("192.0.2.8") && !t.trusts("11.0.0.1"));
    CHECK(!t.trusts("fe80::1") && !t.trusts("unknown") && !t.trusts(""));
    int added = 0;
    TrustedProxies full;
    while (full.add("127.0.0.1")) ++added;
    CHECK(added == static_cast<int>(forwarded_allow_limit));
    CHECK(full.add("*"));  // "any" takes no room
    CHECK(full.trusts("203.0.113.1"));
}

void test_forwarded_client() {
    // The nearest address the proxies do not own.
    CHECK(client("X-Forwarded-For: 198.51.100.7, 203.0.113.9\r\n", {"127.0.0.1"}) == "203.0.113.9");
    CHECK(client("X-Forwarded-For: 198.51.100.7, 10.0.0.2\r\n", {"10.0.0.0/8"}) == "198.51.100.7");
    // Lines read as one list, the last line nearest.
    CHECK(client("x-forwarded-for: 198.51.100.7\r\nX-A: b\r\nX-FORWARDED-FOR: 10.0.0.2, "
                 "10.0.0.3\r\n",
                 {"10.0.0.0/8"}) == "198.51.100.7");
    // Every hop trusted: the farthest; "*" trusts them all.
    CHECK(client("X-Forwarded-For: 10.0.0.1, 10.0.0.2\r\n", {"10.0.0.0/8"}) == "10.0.0.1");
    CHECK(client("X-Forwarded-For: 198.51.100.7 , ,203.0.113.9\r\n", {"*"}) == "198.51.100.7");
    CHECK(client("X-Forwarded-For: \r\n", {"*"}) == "");
    CHECK(client("X-Real-IP: 1.2.3.4\r\n", {"*"}) == "");
    // Not an address: it is no proxy of ours, so it is the answer.
    CHECK(client("X-Forwarded-For: 198.51.100.7, unknown\r\n", {"*", "10.0.0.1"}) ==
          "198.51.100.7");
    CHECK(client("X-Forwarded-For: 198.51.100.7, unknown\r\n", {"10.0.0.1"}) == "unknown");
    // More lines than are read: the nearest ones count.
    string many;
    for (int i = 0; i < 40; ++i) many += "X-Forwarded-For: 10.0.0." + std::to_string(i) + "\r\n";
    CHECK(client(many, {"10.0.0.0/8"}) == "10.0.0." + std::to_string(40 - forwarded_lines_limit));
}

void test_scheme_and_host() {
    ForwardedFields f = collect_forwarded(
        "X-Forwarded-Proto: http, HTTPS\r\nX-Forwarded-Host: a.example, b.example:8443\r\n");
    CHECK(forwarded_scheme(f) == "https");
    CHECK(forwarded_host(f) == "b.example:8443");
    f = collect_forwarded("X-Forwarded-Proto: ftp\r\nX-Forwarded-Host: a b\r\n");
    CHECK(forwarded_scheme(f).empty());
    CHECK(forwarded_host(f).empty());
    f = collect_forwarded("X-Forwarded-Proto: http\r\nX-Forwarded-Proto: http\r\n");
    CHECK(forwarded_scheme(f) == "http");
    CHECK(forwarded_host(f).empty());
}

}  // namespace

int main() {
    test_percent_decode();
    test_cgi_keys();
    test_authority();
    test_trusted_entries();
    test_forwarded_client();
    test_scheme_and_host();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures;
}
