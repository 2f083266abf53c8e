// The pure parsers of the request head, the parameter lookups and the
// multipart reader, against hand-written cases and slow reference models.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "multipart_model.hpp"
#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/multipart.hpp"
#include "parse/pairs.hpp"
#include "parse/part_head.hpp"
#include "parse/target.hpp"
#include "parse/text.hpp"

using namespace zelweb;
using zelweb_test::drive_reader;
using zelweb_test::Outcome;
using zelweb_test::reference_split;

namespace {

using std::string;
using std::string_view;

// ---------------------------------------------------------------- head end

// Index just past the fourth CR/LF of the first run of four, or npos.
size_t naive_head_end(string_view s) {
    int run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        run = (s[i] == '\r' || s[i] == '\n') ? run + 1 : 0;
        if (run == 4) return i + 1;
    }
    return string::npos;
}

// Scans `s` in pieces with the run carried; absolute end or npos.
size_t scan_in_pieces(string_view s, const std::vector<size_t>& cuts, int* final_run = nullptr) {
    int run = 0;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : s.size();
        if (auto end = scan_break_run(s.data() + from, to - from, run)) return from + *end;
        from = to;
    }
    if (final_run) *final_run = run;
    return string::npos;
}

void test_head_end_found_however_the_head_arrives() {
    CHECK(scan_in_pieces("GET / HTTP/1.1\r\n\r\n", {}) == 18);
    CHECK(scan_in_pieces("GET / HTTP/1.1\r\n\r\nbody", {}) == 18);
    CHECK(scan_in_pieces("\n\n\n\n", {}) == 4);
    CHECK(scan_in_pieces("\r\r\r\r", {}) == 4);
    CHECK(scan_in_pieces("a\n\r\r\nb", {}) == 5);
    CHECK(scan_in_pieces("GET / HTTP/1.1\n\n", {}) == string::npos);
    CHECK(scan_in_pieces("\r\n\r", {}) == string::npos);
    // A fifth break byte is not part of the head.
    CHECK(scan_in_pieces("x\r\n\r\n\r\n", {}) == 5);

    // Every string of up to 8 bytes over {CR, LF, x}, whole, cut once at every
    // place, cut twice, and one byte per call.
    const char alphabet[] = {'\r', '\n', 'x'};
    size_t strings = 0;
    for (size_t len = 0; len <= 8; ++len) {
        size_t count = 1;
        for (size_t i = 0; i < len; ++i) count *= 3;
        for (size_t code = 0; code < count; ++code) {
            string s;
            for (size_t i = 0, c = code; i < len; ++i, c /= 3) s += alphabet[c % 3];
            size_t want = naive_head_end(s);
            int run = -1;
            CHECK(scan_in_pieces(s, {}, &run) == want);
            if (want == string::npos) {
                // The carried run is the number of trailing break bytes.
                int trailing = 0;
                while (trailing < int(s.size()) && (s[s.size() - 1 - trailing] != 'x')) ++trailing;
                CHECK(run == trailing);
            }
            for (size_t a = 0; a <= len; ++a) {
                CHECK(scan_in_pieces(s, {a}) == want);
                for (size_t b = a; b <= len; ++b) CHECK(scan_in_pieces(s, {a, b}) == want);
            }
            std::vector<size_t> bytes;
            for (size_t i = 1; i < len; ++i) bytes.push_back(i);
            CHECK(scan_in_pieces(s, bytes) == want);
            ++strings;
        }
    }
    CHECK(strings == 9841);

    // Long texts: the terminator, or a near miss, at every offset, among
    // bytes close to CR and LF in value and bytes above 127.
    const char fillers[] = {'x', '\x0e', '\x0b', '\x00', '\x7f', '\x80', '\xff', '\x8d'};
    for (char filler : fillers) {
        for (size_t at = 0; at < 40; ++at) {
            for (const char* mark :
                 {"\r\n\r\n", "\n\n\n\n", "\r\n\x0b\r\n", "\r\n\r", "\r\r\r\x8d\n"}) {
                string s =
                    string(at, filler) + mark + string(37, filler) + "\r\n\r\n" + string(9, filler);
                size_t want = naive_head_end(s);
                CHECK(scan_in_pieces(s, {}) == want);
                for (size_t a = 1; a < s.size(); a += 3) CHECK(scan_in_pieces(s, {a}) == want);
                CHECK(scan_in_pieces(s.substr(0, want == string::npos ? s.size() : want - 1), {}) ==
                      string::npos);
            }
        }
    }

    // A run carried into a call ends the head at that call's first bytes.
    int run = 3;
    auto end = scan_break_run("\nrest", 5, run);
    CHECK(end && *end == 1);
    run = 3;
    end = scan_break_run("x\n\n\n", 4, run);
    CHECK(!end && run == 3);
    run = 2;
    CHECK(!scan_break_run("", 0, run) && run == 2);
}

// ---------------------------------------------------------- request line

void test_request_line_cut_at_single_spaces() {
    auto r = split_request_line("GET /a?b=1 HTTP/1.1");
    CHECK(r.method == "GET" && r.target == "/a?b=1" && r.protocol == "HTTP/1.1");

    r = split_request_line("GET / HTTP/1.1 trailing words");
    CHECK(r.method == "GET" && r.target == "/" && r.protocol == "HTTP/1.1");

    r = split_request_line("GET /");
    CHECK(r.method == "GET" && r.target == "/" && !r.protocol);

    r = split_request_line("GET");
    CHECK(r.method == "GET" && !r.target && !r.protocol);

    r = split_request_line("");
    CHECK(r.method == "" && !r.target && !r.protocol);

    // Two spaces give an empty piece; a trailing space an empty last piece.
    r = split_request_line("GET  / HTTP/1.1");
    CHECK(r.method == "GET" && r.target == "" && r.protocol == "/");
    r = split_request_line("GET / ");
    CHECK(r.method == "GET" && r.target == "/" && r.protocol == "");

    // Only the space separates: a tab stays inside the piece.
    r = split_request_line("GET\t/ HTTP/1.1");
    CHECK(r.method == "GET\t/" && r.target == "HTTP/1.1" && !r.protocol);
}

void test_first_line_ends_at_crlf_only() {
    CHECK(first_line("GET / HTTP/1.1\r\nHost: x\r\n\r\n") == "GET / HTTP/1.1");
    CHECK(first_line("GET / HTTP/1.1\n\n\n\n") == "GET / HTTP/1.1\n\n\n\n");
    CHECK(first_line("a\rb\r\nc") == "a\rb");
    CHECK(first_line("no break") == "no break");
    CHECK(first_line("\r\nrest") == "");
    CHECK(first_line("") == "");
}

// ---------------------------------------------------------------- headers

using Headers = std::vector<std::pair<HeaderName, string>>;

Headers headers_of(string_view head) {
    Headers out;
    for_each_header(
        head, [&](HeaderName name, string_view value) { out.emplace_back(name, string(value)); });
    return out;
}

void test_headers_recognised_in_any_case_and_order() {
    string head =
        "POST /up HTTP/1.1\r\n"
        "content-type:text/html\r\n"
        "COOKIE: a=1; b: 2\r\n"
        "X-Other: ignored\r\n"
        "a line without colon\r\n"
        "User-Agent: \t curl/8.0  x \t\r\n"
        "Content-Length: 12\r\n"
        "AUTH: user=bob; lang=en\r\n"
        "eXpEcT: 100-continue\r\n"
        "Cookie: second\r\n"
        "\r\n";
    Headers want = {
        {HeaderName::content_type, "text/html"}, {HeaderName::cookie, "a=1; b: 2"},
        {HeaderName::user_agent, "curl/8.0  x"}, {HeaderName::content_length, "12"},
        {HeaderName::auth, "user=bob; lang=en"}, {HeaderName::expect, "100-continue"},
        {HeaderName::cookie, "second"},
    };
    CHECK(headers_of(head) == want);
}

void test_header_lines_that_carry_nothing() {
    // Name with blanks before the colon, names that only resemble, a bare name.
    CHECK(headers_of("GET / HTTP/1.1\r\nContent-Type : a\r\n Cookie: b\r\n\r\n").empty());
    CHECK(headers_of("GET / HTTP/1.1\r\nContent-Types: a\r\nCookies: b\r\nAuthorization: c\r\n\r\n")
              .empty());
    CHECK(headers_of("GET / HTTP/1.1\r\nCookie\r\nAuth\r\n\r\n").empty());
    // Case folding is for letters only: CR is not "-" in disguise, nor is "_".
    CHECK(headers_of("GET / HTTP/1.1\r\nContent\rType: a\r\nUser_Agent: b\r\n\r\n").empty());
    CHECK(headers_of("GET / HTTP/1.1\r\nCont\xc5nt-Type: a\r\n\r\n").empty());
    // The request line is a line like the others and matches nothing.
    CHECK(headers_of("GET /x:y HTTP/1.1\r\n\r\n").empty());
}

void test_header_values_trimmed_but_kept_whole() {
    Headers h = headers_of("GET / HTTP/1.1\r\nCookie:\r\nAuth: \t \r\nUser-Agent: a: b: c\r\n\r\n");
    Headers want = {
        {HeaderName::cookie, ""}, {HeaderName::auth, ""}, {HeaderName::user_agent, "a: b: c"}};
    CHECK(h == want);
    // A lone LF does not end a line, so the next "header" belongs to the value.
    h = headers_of("GET / HTTP/1.1\r\nCookie: a=1\nAuth: x\r\n\r\n");
    CHECK((h == Headers{{HeaderName::cookie, "a=1\nAuth: x"}}));
    // A head whose last line has no CR LF still yields it.
    h = headers_of("GET / HTTP/1.1\r\nContent-Length: 7");
    CHECK((h == Headers{{HeaderName::content_length, "7"}}));
    // Blanks are space and tab only.
    h = headers_of("GET / HTTP/1.1\r\nAuth: \vx\v\r\n\r\n");
    CHECK((h == Headers{{HeaderName::auth, "\vx\v"}}));
}

void test_header_names_compared_without_case() {
    CHECK(recognise_header("content-type") == HeaderName::content_type);
    CHECK(recognise_header("CONTENT-LENGTH") == HeaderName::content_length);
    CHECK(recognise_header("user-agent") == HeaderName::user_agent);
    CHECK(recognise_header("auth") == HeaderName::auth);
    CHECK(recognise_header("cOOKIE") == HeaderName::cookie);
    CHECK(recognise_header("Expect") == HeaderName::expect);
    CHECK(!recognise_header(""));
    CHECK(!recognise_header("Content-Typ"));
    CHECK(!recognise_header("Auth "));
    CHECK(!recognise_header("Host"));
    CHECK(header_name_is("", ""));
    CHECK(!header_name_is("[", "{"));  // 0x5B and 0x7B differ by the case bit
    CHECK(!header_name_is("@", "`"));
}

// ------------------------------------------------------------ content length

void test_content_length_read_like_strtoul() {
    struct Case {
        const char* text;
        uint32_t want;
    } cases[] = {
        {"12", 12},
        {" 12", 12},
        {"\t\n\v\f\r 12", 12},
        {"+5", 5},
        {"007", 7},
        {"12abc", 12},
        {"12 34", 12},
        {"abc", 0},
        {"", 0},
        {"+", 0},
        {"-", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"0x10", 0},
        {"-0", 0},
        {"-1", 4294967295u},
        {"-4294967295", 1},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"99999999999999999999999999999999999999", 4294967295u},
        {"00000000000000000000000000000000000042", 42},
        {"\xa0"
         "5",
         0},  // not white space in the C locale
    };
    for (const Case& c : cases) {
        uint32_t got = parse_content_length(c.text);
        if (got != c.want)
            std::fprintf(stderr, "parse_content_length(\"%s\") = %u, want %u\n", c.text, got,
                         c.want);
        CHECK(got == c.want);
    }
    // strtoul reports a magnitude out of range as ULONG_MAX whatever the sign.
    CHECK(parse_content_length("-4294967296") == 4294967295u);
    CHECK(parse_content_length("-99999999999") == 4294967295u);
}

// ---------------------------------------------------------------- lookups

std::optional<string> lookup(string_view list, string_view sep, string_view key) {
    auto v = find_pair_value(list, sep, key);
    if (!v) return std::nullopt;
    return string(*v);
}

void test_query_pairs() {
    CHECK(lookup("x=1&y=2", "&", "x") == "1");
    CHECK(lookup("x=1&y=2", "&", "y") == "2");
    CHECK(lookup("x=1&y=2", "&", "z") == std::nullopt);
    CHECK(lookup("x=a%20b", "&", "x") == "a%20b");  // raw: decoding is the caller's
    CHECK(lookup("x=1=2", "&", "x") == "1");
    CHECK(lookup("x=1&x=2", "&", "x") == "1");
    CHECK(lookup("x=", "&", "x") == "");
    CHECK(lookup("a%20b=1", "&", "a b") == std::nullopt);
    CHECK(lookup("a%20b=1", "&", "a%20b") == "1");
    CHECK(lookup("=5", "&", "") == "5");
    CHECK(lookup("x=1&&y=2", "&", "y") == "2");
    CHECK(lookup("X=1", "&", "x") == std::nullopt);  // names are case-sensitive
    CHECK(lookup("xx=1&x=2", "&", "x") == "2");      // whole names only
    // A matching pair without "=" has an empty value; it still wins.
    CHECK(lookup("x&x=1", "&", "x") == "");
    CHECK(lookup("x&y=1", "&", "y") == "1");
    // The empty name matches the empty pair a stray "&" makes.
    CHECK(lookup("a=1&", "&", "") == "");
    CHECK(lookup("", "&", "") == std::nullopt);
    CHECK(lookup("", "&", "x") == std::nullopt);
}

void test_cookie_and_auth_pairs() {
    CHECK(lookup("a=1; b=2", "; ", "b") == "2");
    CHECK(lookup("a=1;b=2", "; ", "b") == std::nullopt);
    CHECK(lookup("a=1;b=2", "; ", "a") == "1;b");
    CHECK(lookup("s=x%20y", "; ", "s") == "x%20y");
    CHECK(lookup("user=bob; lang=en", "; ", "lang") == "en");
    CHECK(lookup("user=bob; lang=en", "; ", "user") == "bob");
    CHECK(lookup("flag; a=1", "; ", "flag") == "");
    CHECK(lookup("flag; a=1", "; ", "a") == "1");
    CHECK(lookup("a=1;", "; ", "a") == "1;");  // a lone ";" at the end is data
    CHECK(lookup("a=1; ", "; ", "") == "");
    CHECK(lookup("a=1&b=2", "; ", "b") == std::nullopt);  // "&" separates nothing here
    CHECK(lookup("a=x; y", "; ", " y") == std::nullopt);
}

void test_target_split() {
    auto t = split_target("/a/b?x=1&y=2");
    CHECK(t.path == "/a/b" && t.query == "x=1&y=2");
    t = split_target("/p?x=1?y=2");
    CHECK(t.path == "/p" && t.query == "x=1");
    t = split_target("/p?");
    CHECK(t.path == "/p" && t.query == "");
    t = split_target("/p");
    CHECK(t.path == "/p" && !t.query);
    t = split_target("?x=1");
    CHECK(t.path == "" && t.query == "x=1");
    t = split_target("??");
    CHECK(t.path == "" && t.query == "");
    t = split_target("");
    CHECK(t.path == "" && !t.query);
}

// -------------------------------------------------------------- part heads

void test_part_head_file_name_type_and_field_name() {
    auto h = parse_part_head(
        "Content-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\n");
    CHECK(h.filename == "a.txt" && h.content_type == "text/plain" && h.name == "f");

    // The file name is never taken for the field name, whatever the order.
    h = parse_part_head("Content-Disposition: form-data; filename=\"a.txt\"; name=\"f\"\r\n\r\n");
    CHECK(h.filename == "a.txt" && h.name == "f" && !h.content_type);
    h = parse_part_head("Content-Disposition: form-data;name=\"f\"\r\n\r\n");
    CHECK(!h.filename && h.name == "f");
    h = parse_part_head("Content-Disposition: form-data; xname=\"no\"; name=\"f\"\r\n\r\n");
    CHECK(h.name == "f");
    h = parse_part_head("Content-Disposition: form-data; filename=\"a\"\r\n\r\n");
    CHECK(h.filename == "a" && !h.name);

    // A "Content-Type: " line before the file name is not looked at; nor is
    // the type of a part without a file name.
    h = parse_part_head(
        "Content-Type: image/png\r\n"
        "Content-Disposition: form-data; name=\"f\"; filename=\"a.png\"\r\n\r\n");
    CHECK(h.filename == "a.png" && !h.content_type);
    h = parse_part_head(
        "Content-Disposition: form-data; name=\"t\"\r\nContent-Type: text/plain\r\n\r\n");
    CHECK(!h.filename && !h.content_type && h.name == "t");

    // The file name runs to its closing quote: ";" and spaces are part of it.
    h = parse_part_head(
        "Content-Disposition: form-data; name=\"f\"; filename=\"a; b.txt\"\r\n\r\n");
    CHECK(h.filename == "a; b.txt");
    h = parse_part_head("Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n");
    CHECK(h.filename == "");
    // Without a closing quote it runs to the end of its line, and no type is read.
    h = parse_part_head(
        "Content-Disposition: form-data; filename=\"a.txt\r\nContent-Type: text/plain\r\n\r\n");
    CHECK(h.filename == "a.txt" && !h.content_type);
    h = parse_part_head("Content-Disposition: form-data; filename=\"a.txt");
    CHECK(h.filename == "a.txt");
    // A quote on a later line does not close it: a name never spans lines.
    h = parse_part_head(
        "Content-Disposition: form-data; filename=\"a.txt\r\nX-Note: \"b\"\r\n\r\n");
    CHECK(h.filename == "a.txt" && !h.content_type);
    h = parse_part_head("Content-Disposition: form-data; name=\"f");
    CHECK(!h.name);

    // Bytes outside ASCII are kept as they are.
    h = parse_part_head(
        "Content-Disposition: form-data; name=\"f\xc3\xa9\"; "
        "filename=\"r\xc3\xa9sum\xc3\xa9.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\n");
    CHECK(h.filename == "r\xc3\xa9sum\xc3\xa9.txt" && h.name == "f\xc3\xa9" &&
          h.content_type == "text/plain");

    // A type at the very end of the head, without its CR LF.
    h = parse_part_head("Content-Disposition: form-data; filename=\"a\"\r\nContent-Type: a/b");
    CHECK(h.content_type == "a/b");

    h = parse_part_head("");
    CHECK(!h.filename && !h.content_type && !h.name);
}

// -------------------------------------------------------------- multipart

string part(string_view head_lines, string_view data) {
    return string(head_lines) + "\r\n" + string(data);
}

string form(string_view boundary, const std::vector<string>& parts, string_view epilogue = "") {
    string body;
    for (size_t i = 0; i < parts.size(); ++i)
        body += (i ? "\r\n--" : "--") + string(boundary) + "\r\n" + parts[i];
    body += "\r\n--" + string(boundary) + "--" + string(epilogue);
    return body;
}

string describe(const Outcome& o) {
    string s;
    for (auto& e : o.events) s += "[" + e.substr(0, 60) + "]";
    return s;
}

// Every piece size from 1 to 12, then irregular patterns.
const std::vector<std::vector<size_t>>& split_patterns() {
    static std::vector<std::vector<size_t>> patterns = [] {
        std::vector<std::vector<size_t>> p{{0}};
        for (size_t n = 1; n <= 12; ++n) p.push_back({n});
        p.push_back({3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5});
        p.push_back({17, 1, 1, 64, 2});
        p.push_back({100, 1});
        return p;
    }();
    return patterns;
}

// The reader, however the body is cut, gives what the model gives.
bool reader_matches_model(string_view body) {
    Outcome want = reference_split(body);
    bool ok = true;
    auto check_one = [&](const std::vector<size_t>& pieces) {
        Outcome got = drive_reader(body, pieces);
        if (!(got == want) || got.empty_data || !got.sticky) {
            if (ok)
                std::fprintf(stderr,
                             "reader/model differ (first piece %zu) for body of %zu bytes:\n got  "
                             "%s\n want %s\n",
                             pieces.empty() ? 0 : pieces[0], body.size(), describe(got).c_str(),
                             describe(want).c_str());
            ok = false;
        }
    };
    for (auto& p : split_patterns()) check_one(p);
    // One cut at every place.
    for (size_t a = 1; a < body.size(); ++a) check_one({a, 0});
    return ok;
}

const string disposition =
    "Content-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\nContent-Type: "
    "text/plain\r\n";

std::vector<string> sample_bodies() {
    std::vector<string> b;
    b.push_back(form("XYZ", {part(disposition, "hello")}, "\r\n"));
    b.push_back(form("XYZ", {part(disposition, "")}));
    b.push_back(form("XYZ",
                     {part("Content-Disposition: form-data; name=\"t\"\r\n", "text value"),
                      part(disposition, "file\r\ndata\r\n"),
                      part("Content-Disposition: form-data; name=\"u\"\r\n", "after")},
                     "\r\nepilogue bytes\r\n"));
    // Data that holds the delimiter's beginnings but not the delimiter.
    b.push_back(form("XYZ", {part(disposition, "\r\n--XY\r\n--X\r\r\n-\r\n--XYz\n--XYZ")}));
    // Data ending in break bytes, and a part with no header lines at all.
    b.push_back(form("ab", {part(disposition, "\r\n\r\n\r\n"), part("", "bare")}));
    b.push_back(form("-", {part(disposition, "-\r\n--x\r\n--\r\n-")}));
    // Line ends of other kinds inside the head.
    b.push_back(form("B", {"X: 1\n\r\nY\r\r\n\ndata"}));
    // A browser-like boundary.
    b.push_back(
        form("----WebKitFormBoundary7MA4YWxkTrZu0gW", {part(disposition, string(300, 'z'))}));
    return b;
}

void test_reader_agrees_with_model_on_every_split() {
    for (const string& body : sample_bodies()) {
        CHECK(reader_matches_model(body));
        // The model's events are what the body says.
        Outcome o = reference_split(body);
        CHECK(!o.events.empty() && o.events.back() == "DONE");
    }
    // The first body spelled out.
    Outcome o = reference_split(form("XYZ", {part(disposition, "hello")}, "\r\n"));
    CHECK((o.events == std::vector<string>{"H:" + disposition + "\r\n", "D:hello", "E", "DONE"}));
}

void test_reader_on_bodies_cut_short() {
    // Every prefix of a two-part body: the model says which error, and the
    // reader must say the same, with the same data handed out before it.
    string body = form("XYZ", {part("Content-Disposition: form-data; name=\"t\"\r\n", "v"),
                               part(disposition, "some\r\n--XY data")});
    size_t checked = 0;
    for (size_t n = 0; n < body.size(); ++n) {
        string_view prefix(body.data(), n);
        Outcome want = reference_split(prefix);
        CHECK(!want.events.empty() && want.events.back().rfind("ERR:", 0) == 0);
        CHECK(reader_matches_model(prefix));
        ++checked;
    }
    CHECK(checked == body.size());

    // A body that ends in the middle of a file's data: the data sent on holds
    // no byte that could still be the delimiter.
    Outcome o = drive_reader("--B\r\n\r\n0123456789\r\n--", {1});
    CHECK(
        (o.events == std::vector<string>{"H:\r\n", "D:0123456789",
                                         "ERR:multipart body ended before its closing delimiter"}));
    o = drive_reader("--B\r\n\r\n0123456789", {0});
    CHECK(
        (o.events == std::vector<string>{"H:\r\n", "D:012345",
                                         "ERR:multipart body ended before its closing delimiter"}));
    o = drive_reader("--B\r\n\r\n0123\r\n--B", {0});
    CHECK(
        (o.events == std::vector<string>{"H:\r\n", "D:0123", "E",
                                         "ERR:multipart body ended before its closing delimiter"}));
    o = drive_reader("--B\r\n\r\n0123\r\n--B-", {0});
    CHECK(o.events.back() == "ERR:multipart body ended before its closing delimiter");
}

void test_reader_part_head_bound() {
    auto head_of = [](size_t len) {  // header lines plus the empty line: len bytes
        string h = "X: " + string(len - 3 - 4, 'h') + "\r\n\r\n";
        return h;
    };
    CHECK(head_of(1024).size() == 1024);
    string ok = "--B\r\n" + head_of(1024) + "data\r\n--B--";
    for (size_t piece :
         {size_t(0), size_t(1), size_t(7), size_t(1023), size_t(1024), size_t(1025)}) {
        Outcome o = drive_reader(ok, {piece});
        CHECK((o.events == std::vector<string>{"H:" + head_of(1024), "D:data", "E", "DONE"}));
    }
    string too_long = "--B\r\n" + head_of(1025) + "data\r\n--B--";
    for (size_t piece : {size_t(0), size_t(1), size_t(1024)}) {
        Outcome o = drive_reader(too_long, {piece});
        CHECK((o.events ==
               std::vector<string>{"ERR:multipart body: part head of 1024 bytes without its end"}));
    }
    // 1,024 bytes and no end in sight: the reader does not wait for more.
    std::unique_ptr<MultipartReader> r(new MultipartReader);
    string start = "--B\r\n" + string(1024, 'h');
    std::memcpy(r->free_space(), start.data(), start.size());
    r->commit(start.size());
    CHECK(r->next() == MultipartReader::Event::error);
    CHECK(string(r->error_text()) == "multipart body: part head of 1024 bytes without its end");
    CHECK(reader_matches_model(too_long));
    CHECK(reader_matches_model(ok));
}

size_t reported_limit = 0;
int reports = 0;
void record_report(size_t limit) {
    reported_limit = limit;
    ++reports;
}

void test_reader_delimiter_line_bound() {
    set_overflow_reporter(record_report);
    string b89 = "--" + string(87, 'b');  // 89 bytes: the longest line that fits
    string b90 = b89 + "b";
    Outcome o = drive_reader(form(b89.substr(2), {part(disposition, "x")}), {1});
    CHECK(o.events.back() == "DONE" && reports == 0);
    std::unique_ptr<MultipartReader> r(new MultipartReader);
    string body = form(b89.substr(2), {part(disposition, "x")});
    std::memcpy(r->free_space(), body.data(), body.size());
    r->commit(body.size());
    CHECK(r->next() == MultipartReader::Event::part_head);
    CHECK(r->next() == MultipartReader::Event::data && r->data() == "x");

    for (size_t piece : {size_t(0), size_t(1), size_t(50)}) {
        reports = 0;
        o = drive_reader(form(b90.substr(2), {part(disposition, "x")}), {piece});
        CHECK((o.events == std::vector<string>{"ERR:multipart body: delimiter line too long"}));
        CHECK(reports == 1 && reported_limit == boundary_line_capacity);
    }
    // No line end within the first 91 bytes: refused without waiting for one.
    reports = 0;
    r.reset(new MultipartReader);
    string no_end = "--" + string(89, 'b');
    std::memcpy(r->free_space(), no_end.data(), no_end.size());
    r->commit(no_end.size());
    CHECK(r->next() == MultipartReader::Event::error && reports == 1);
    set_overflow_reporter(nullptr);
}

void test_reader_malformed_bodies() {
    const char* not_a_delimiter = "ERR:multipart body does not begin with a delimiter";
    struct Case {
        const char* body;
        const char* last_event;
    } cases[] = {
        {"-B\r\n\r\nx\r\n-B--", not_a_delimiter},
        {"--\r\n\r\nx\r\n----", not_a_delimiter},
        {"\r\n--B\r\n\r\nx\r\n--B--", not_a_delimiter},
        {"preamble\r\n--B\r\n\r\nx\r\n--B--", not_a_delimiter},
        {"--B\r\n\r\nx\r\n--Bxx", "ERR:multipart body: malformed delimiter"},
        {"--B\r\n\r\nx\r\n--B \r\n\r\ny\r\n--B--", "ERR:multipart body: malformed delimiter"},
        {"--B\r\n\r\nx\r\n--B\r", "ERR:multipart body ended before its closing delimiter"},
        {"--B\r\n\r\nx\r\n--B\rx", "ERR:multipart body: malformed delimiter"},
        {"--B", "ERR:multipart body ended before its first part"},
        {"", "ERR:multipart body ended before its first part"},
        {"--B\r\nX: 1\r\n", "ERR:multipart body ended inside a part head"},
    };
    for (const Case& c : cases) {
        Outcome o = drive_reader(c.body, {1});
        CHECK(!o.events.empty() && o.events.back() == c.last_event);
        CHECK(reader_matches_model(c.body));
    }
}

void test_reader_streams_bodies_larger_than_its_window() {
    string data;
    for (size_t i = 0; data.size() < 3 * MultipartReader::window_capacity; ++i)
        data += char('a' + i % 26) + string(i % 7 == 0 ? "\r\n--" : "");
    string body =
        form("BOUNDARY", {part(disposition, data), part("", "second")}, string(70000, 'e'));
    Outcome want = reference_split(body);
    CHECK((want.events == std::vector<string>{"H:" + disposition + "\r\n", "D:" + data, "E",
                                              "H:\r\n", "D:second", "E", "DONE"}));
    for (size_t piece :
         {size_t(0), size_t(1), size_t(4096), size_t(65535), size_t(65536), size_t(100000)}) {
        Outcome got = drive_reader(body, {piece});
        CHECK(got == want && !got.empty_data && got.sticky);
    }
}

void test_reader_drops_the_epilogue() {
    std::unique_ptr<MultipartReader> r(new MultipartReader);
    string body = form("B", {part("", "x")});
    std::memcpy(r->free_space(), body.data(), body.size());
    r->commit(body.size());
    int events = 0;
    while (r->next() != MultipartReader::Event::done && ++events < 10) {
    }
    CHECK(events < 10);
    for (int i = 0; i < 5; ++i) {
        // Each window of epilogue is accepted and forgotten.
        CHECK(r->free_size() == MultipartReader::window_capacity);
        std::memset(r->free_space(), i % 2 ? '-' : '\r', r->free_size());
        r->commit(r->free_size());
        CHECK(r->next() == MultipartReader::Event::need_more);
    }
    r->finish_input();
    CHECK(r->next() == MultipartReader::Event::done);
    CHECK(r->next() == MultipartReader::Event::done);
}

// ---------------------------------------------------------------- framing

using Kind = BodyFraming::Kind;

BodyFraming framing_of(std::vector<std::pair<string, string>> lines) {
    FramingReader r;
    for (auto& [name, value] : lines) {
        if (name == "cl")
            r.content_length(value);
        else
            r.transfer_encoding(value);
    }
    return r.result();
}

void test_body_framing() {
    CHECK(framing_of({}).kind == Kind::none);
    CHECK(framing_of({{"cl", "0"}}).kind == Kind::none);
    auto f = framing_of({{"cl", "12"}});
    CHECK(f.kind == Kind::length && f.length == 12 && f.strict);
    f = framing_of({{"cl", "12"}, {"cl", "12"}});
    CHECK(f.kind == Kind::length && f.length == 12);
    CHECK(framing_of({{"cl", "12"}, {"cl", "13"}}).kind == Kind::conflicting);
    CHECK(framing_of({{"cl", "12"}, {"cl", "012"}}).kind == Kind::length);
    f = framing_of({{"cl", "12abc"}});  // read the lenient way, and said so
    CHECK(f.kind == Kind::length && f.length == 12 && !f.strict);
    f = framing_of({{"cl", "abc"}});
    CHECK(f.kind == Kind::none && !f.strict);
    f = framing_of({{"cl", "18446744073709551615"}});
    CHECK(f.kind == Kind::length && f.strict && f.length == UINT64_MAX);
    CHECK(!framing_of({{"cl", "18446744073709551616"}}).strict);
    CHECK(framing_of({{"te", "chunked"}}).kind == Kind::chunked);
    CHECK(framing_of({{"te", "CHUNKED"}}).kind == Kind::chunked);
    for (const char* coding : {"gzip, chunked", "identity", "chunked, gzip", "", "chunked;q=1"})
        CHECK(framing_of({{"te", coding}}).kind == Kind::unsupported);
    CHECK(framing_of({{"te", "chunked"}, {"te", "chunked"}}).kind == Kind::conflicting);
    CHECK(framing_of({{"te", "chunked"}, {"cl", "5"}}).kind == Kind::conflicting);
    CHECK(framing_of({{"cl", "5"}, {"te", "chunked"}}).kind == Kind::conflicting);
    CHECK(framing_of({{"cl", "0"}, {"te", "gzip"}}).kind == Kind::conflicting);
}

void test_header_name_tokens() {
    for (const char* name : {"X", "X-Ok_1.~", "!#$%&'*+-.^_`|~", "Content-Type", "0"})
        CHECK(is_token(name));
    for (const char* name : {"", "X Y", "X:Y", "X\x01", "X\x7f", "X\"", "(x)", "a/b", "a\tb",
                             "\xc3\xa9", "a@b", "a,b", "a;b", "a=b", "{a}", "[a]", "a?", "a\\b"})
        CHECK(!is_token(name));
}

void test_request_versions_and_connection_options() {
    CHECK(http_minor_version("HTTP/1.1") == 1 && http_minor_version("HTTP/1.9") == 1);
    CHECK(http_minor_version("HTTP/1.0") == 0);
    CHECK(http_minor_version("HTTP/2.0") == -1 && http_minor_version("HTTP/0.9") == -1);
    for (const char* bad :
         {"", "HTTP/1", "HTTP/1.10", "http/1.1", "HTTP/a.1", "HTTP/1,1", "HTTP/1.1 "})
        CHECK(http_minor_version(bad) == -2);
    auto options = [](std::vector<const char*> lines) {
        ConnectionOptions o;
        for (const char* line : lines) read_connection_options(line, o);
        return std::pair<bool, bool>(o.close, o.keep_alive);
    };
    CHECK((options({"close"}) == std::pair<bool, bool>(true, false)));
    CHECK((options({"Keep-Alive"}) == std::pair<bool, bool>(false, true)));
    CHECK((options({"upgrade, CLOSE"}) == std::pair<bool, bool>(true, false)));
    CHECK((options({"te", " keep-alive ,x"}) == std::pair<bool, bool>(false, true)));
    CHECK((options({"closed", "keep-alive-ish", ""}) == std::pair<bool, bool>(false, false)));
}

void test_every_header_line_walked() {
    std::vector<std::pair<string, string>> seen;
    auto record = [&](string_view n, string_view v) { seen.emplace_back(n, v); };
    string head = "GET /a:b HTTP/1.1\r\nHost: x\r\nNo colon\r\nX-A :\t v \r\nx-a:2\r\n\r\n";
    for_each_header_line(head, true, record);
    CHECK((seen ==
           std::vector<std::pair<string, string>>{{"Host", "x"}, {"X-A ", "v"}, {"x-a", "2"}}));
    seen.clear();
    for_each_header_line(head, false, record);
    CHECK(seen.size() == 4 && seen[0].first == "GET /a");
}

}  // namespace

int main() {
    test_head_end_found_however_the_head_arrives();
    test_request_line_cut_at_single_spaces();
    test_first_line_ends_at_crlf_only();
    test_headers_recognised_in_any_case_and_order();
    test_header_lines_that_carry_nothing();
    test_header_values_trimmed_but_kept_whole();
    test_header_names_compared_without_case();
    test_content_length_read_like_strtoul();
    test_query_pairs();
    test_cookie_and_auth_pairs();
    test_target_split();
    test_part_head_file_name_type_and_field_name();
    test_reader_agrees_with_model_on_every_split();
    test_reader_on_bodies_cut_short();
    test_reader_part_head_bound();
    test_reader_delimiter_line_bound();
    test_reader_malformed_bodies();
    test_reader_streams_bodies_larger_than_its_window();
    test_reader_drops_the_epilogue();
    test_body_framing();
    test_header_name_tokens();
    test_every_header_line_walked();
    test_request_versions_and_connection_options();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
