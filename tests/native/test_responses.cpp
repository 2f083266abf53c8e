// The pure pieces of file responses and static folders: HTTP dates,
// entity-tags and the conditional fields, Range, Accept-Encoding, static
// paths, reason phrases and the media-type table.
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "parse/accept_encoding.hpp"
#include "parse/byte_range.hpp"
#include "parse/file_answer.hpp"
#include "parse/http_date.hpp"
#include "parse/limits.hpp"
#include "parse/media_types.hpp"
#include "parse/reason_phrase.hpp"
#include "parse/static_path.hpp"
#include "parse/validators.hpp"

using namespace zelweb;

namespace {

using std::string;

constexpr int64_t nov_6_1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr int64_t now_2026 = 1796000000;

string date(int64_t t) {
    char out[http_date_size];
    format_http_date(t, out);
    return string(out, sizeof out);
}

void test_dates_are_written_as_imf_fixdate() {
    CHECK(date(nov_6_1994) == "Sun, 06 Nov 1994 08:49:37 GMT");
    CHECK(date(0) == "Thu, 01 Jan 1970 00:00:00 GMT");
    CHECK(date(-1) == "Wed, 31 Dec 1969 23:59:59 GMT");
    CHECK(date(951782400) == "Tue, 29 Feb 2000 00:00:00 GMT");
    CHECK(date(INT64_MIN) == "Sat, 01 Jan 0000 00:00:00 GMT");
    CHECK(date(INT64_MAX) == "Fri, 31 Dec 9999 23:59:59 GMT");
    // Against the C library, a day and an odd second at a time, over leap
    // years and century ends.
    for (int64_t t = -2208988800; t < 4102444800; t += 86400 * 7 + 3607) {
        time_t tt = static_cast<time_t>(t);
        struct tm g;
        gmtime_r(&tt, &g);
        char expected[64];
        static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        std::snprintf(expected, sizeof expected, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                      days[g.tm_wday], g.tm_mday, months[g.tm_mon], g.tm_year + 1900, g.tm_hour,
                      g.tm_min, g.tm_sec);
        CHECK(date(t) == expected);
        CHECK(parse_http_date(date(t), now_2026) == t);
    }
}

void test_the_three_date_forms_are_read() {
    CHECK(parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT", now_2026) == nov_6_1994);
    CHECK(parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT", now_2026) == nov_6_1994);
    CHECK(parse_http_date("Sun Nov  6 08:49:37 1994", now_2026) == nov_6_1994);
    CHECK(parse_http_date("Sun Nov 06 08:49:37 1994", now_2026) == nov_6_1994);
    // The day name is not checked against the date.
    CHECK(parse_http_date("Mon, 06 Nov 1994 08:49:37 GMT", now_2026) == nov_6_1994);
    CHECK(parse_http_date("Tue, 29 Feb 2000 00:00:00 GMT", now_2026) == 951782400);
    CHECK(parse_http_date("Thu, 31 Dec 1998 23:59:60 GMT", now_2026) == 915148800);
    // A two-digit year within 50 years of now: 2026 reads "76" as 2076, "77" as 1977.
    CHECK(parse_http_date("Thursday, 01-Jan-76 00:00:00 GMT", now_2026) == 3345062400);
    CHECK(parse_http_date("Saturday, 01-Jan-77 00:00:00 GMT", now_2026) == 220924800);
}

void test_other_date_texts_are_refused() {
    for (const char* bad : {
             "", "Sun, 06 Nov 1994 08:49:37 UTC", "sun, 06 Nov 1994 08:49:37 GMT",
             "Sun, 06 nov 1994 08:49:37 GMT", "Sun, 6 Nov 1994 08:49:37 GMT",
             "Sun,  06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT ",
             " Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 94 08:49:37 GMT",
             "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 29 Feb 1900 08:49:37 GMT",
             "Sun, 00 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
             "Sun, 06 Nov 1994 08:60:37 GMT", "Sun, 06 Nov 1994 08:49:61 GMT",
             "Sun, 06 Nov 1994 08:49 GMT", "Sun, 06 Nov 1994 8:49:37 GMT",
             "Sun, 06 Nov 199x 08:49:37 GMT", "Xyz, 06 Nov 1994 08:49:37 GMT",
             "Sunday, 06-Nov-1994 08:49:37 GMT", "Sun, 06-Nov-94 08:49:37 GMT",
             "Sunday, 06 Nov 94 08:49:37 GMT", "Sun Nov 6 08:49:37 1994",
             "Sun Nov  6 08:49:37 94", "Sun Nov  6 08:49:37 1994 GMT", "1994-11-06T08:49:37Z",
             "784111777"}) {
        CHECK(!parse_http_date(bad, now_2026));
    }
}

// ------------------------------------------------------------ validators

string etag(uint64_t size, int64_t ns) {
    char out[etag_capacity];
    return string(out, format_etag(size, ns, out));
}

void test_etags_are_strong_and_change_with_size_and_time() {
    CHECK(etag(0, 0) == "\"0-0\"");
    CHECK(etag(1024, 1700000000123456789) == "\"400-17979cfe3d85cd15\"");
    CHECK(etag(UINT64_MAX, -1) == "\"ffffffffffffffff-ffffffffffffffff\"");
    CHECK(etag(10, 5) != etag(10, 6));
    CHECK(etag(10, 5) != etag(11, 5));
}

void test_if_none_match_compares_weakly() {
    const string tag = "\"a-1\"";
    for (const char* holds : {"*", "\"a-1\"", "W/\"a-1\"", "\"x\", \"a-1\"", "\"x\",W/\"a-1\"",
                              " ,\"x\" ,, \"a-1\" , ", "\"a,b\", \"a-1\""}) {
        CHECK(none_match_holds(holds, tag));
    }
    for (const char* not_held : {"", "\"a-2\"", "a-1", "\"a-1", "w/\"a-1\"", "\"a-1\" \"x\"",
                                 "\"a-1\"x", "*, \"a-1\"", "\"x\", *", ",", "\"a\"\"-1\"",
                                 "\"a-1\", \"b", "\"a\x01\", \"a-1\""}) {
        CHECK(!none_match_holds(not_held, tag));
    }
}

void test_if_match_compares_strongly() {
    const string tag = "\"a-1\"";
    for (const char* holds : {"*", "\"a-1\"", "\"x\", \"a-1\"", " ,W/\"x\" ,, \"a-1\" , "})
        CHECK(match_holds(holds, tag));
    for (const char* not_held : {"", "W/\"a-1\"", "\"a-2\"", "a-1", "\"a-1\" \"x\"", "*, \"a-1\""})
        CHECK(!match_holds(not_held, tag));
}

void test_if_range_needs_a_strong_match_or_the_exact_date() {
    const string tag = "\"a-1\"";
    CHECK(if_range_holds("\"a-1\"", tag, nov_6_1994, now_2026));
    CHECK(!if_range_holds("W/\"a-1\"", tag, nov_6_1994, now_2026));
    CHECK(!if_range_holds("\"a-2\"", tag, nov_6_1994, now_2026));
    CHECK(!if_range_holds("\"a-1\" ", tag, nov_6_1994, now_2026));
    CHECK(if_range_holds("Sun, 06 Nov 1994 08:49:37 GMT", tag, nov_6_1994, now_2026));
    CHECK(if_range_holds("Wed, 31 Dec 1969 23:59:59 GMT", tag, -1, now_2026));
    CHECK(!if_range_holds("Sun, 06 Nov 1994 08:49:38 GMT", tag, nov_6_1994, now_2026));
    CHECK(!if_range_holds("yesterday", tag, nov_6_1994, now_2026));
    CHECK(!if_range_holds("", tag, nov_6_1994, now_2026));
}

// ------------------------------------------------------------ Range

struct RangeCase {
    const char* value;
    uint64_t size;
    RangeKind kind;
    uint64_t first, last;
};

void test_range_values() {
    using K = RangeKind;
    const RangeCase cases[] = {
        {"bytes=10-19", 100, K::partial, 10, 19},
        {"bytes=10-", 100, K::partial, 10, 99},
        {"bytes=-5", 100, K::partial, 95, 99},
        {"bytes=-500", 100, K::partial, 0, 99},
        {"bytes=90-1000", 100, K::partial, 90, 99},
        {"bytes=99-99", 100, K::partial, 99, 99},
        {"bytes=0-0", 1, K::partial, 0, 0},
        {"BYTES=1-2", 100, K::partial, 1, 2},
        {"bytes=0-99999999999999999999999", 100, K::partial, 0, 99},
        {"bytes= 3-4 ,", 100, K::partial, 3, 4},
        {"bytes=4294967296-4294967299", 5368709120, K::partial, 4294967296, 4294967299},
        {"bytes=100-", 100, K::unsatisfiable, 0, 0},
        {"bytes=100-200", 100, K::unsatisfiable, 0, 0},
        {"bytes=99999999999999999999999-", 100, K::unsatisfiable, 0, 0},
        {"bytes=-0", 100, K::unsatisfiable, 0, 0},
        {"bytes=0-", 0, K::unsatisfiable, 0, 0},
        {"bytes=-5", 0, K::unsatisfiable, 0, 0},
        {"bytes=100-,200-", 100, K::unsatisfiable, 0, 0},
        // several ranges, one satisfiable: the whole file
        {"bytes=0-1,5-6", 100, K::whole, 0, 0},
        {"bytes=0-1, 200-", 100, K::whole, 0, 0},
        // ignored
        {"", 100, K::whole, 0, 0},
        {"bytes=", 100, K::whole, 0, 0},
        {"bytes=,", 100, K::whole, 0, 0},
        {"items=0-5", 100, K::whole, 0, 0},
        {"bytes 0-5", 100, K::whole, 0, 0},
        {"bytes=5-4", 100, K::whole, 0, 0},
        {"bytes=-", 100, K::whole, 0, 0},
        {"bytes=a-5", 100, K::whole, 0, 0},
        {"bytes=0-5 6-7", 100, K::whole, 0, 0},
        {"bytes=+1-5", 100, K::whole, 0, 0},
        {"bytes=0-5;x", 100, K::whole, 0, 0},
        {"bytes=0-1,x", 100, K::whole, 0, 0},
        {"bytes=0--5", 100, K::whole, 0, 0},
    };
    for (const RangeCase& c : cases) {
        RangeAnswer r = parse_byte_range(c.value, c.size);
        CHECK(r.kind == c.kind);
        if (r.kind == c.kind && c.kind == K::partial) CHECK(r.first == c.first && r.last == c.last);
        if (r.kind != c.kind) std::fprintf(stderr, "  range case: %s / %llu\n", c.value,
                                           static_cast<unsigned long long>(c.size));
    }
    // Thousands of members cost one pass.
    string many = "bytes=0-0";
    for (int i = 0; i < 4000; ++i) many += ",1-1";
    CHECK(parse_byte_range(many, 10).kind == K::whole);
}

// ------------------------------------------------------------ the file answer

FileAnswer answer(const string& headers, const char* method = "GET", uint64_t size = 100) {
    static const string tag = "\"64-1\"";
    string head = string(method) + " /f HTTP/1.1\r\n" + headers + "\r\n";
    return answer_file_request(head, method, FileValidators{size, tag, nov_6_1994}, now_2026);
}

bool is(const FileAnswer& a, FileStatus s, uint64_t first = 0, uint64_t count = 0) {
    return a.status == s && a.first == first && a.count == count;
}

void test_file_answers() {
    using S = FileStatus;
    const string ims = "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    CHECK(is(answer(""), S::whole, 0, 100));
    CHECK(is(answer("if-none-match: \"64-1\"\r\n"), S::not_modified));
    CHECK(is(answer("If-None-Match: \"x\"\r\nIf-None-Match: W/\"64-1\"\r\n"), S::not_modified));
    CHECK(is(answer("If-None-Match: *\r\n", "HEAD"), S::not_modified));
    CHECK(is(answer(ims), S::not_modified));
    CHECK(is(answer("If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n"), S::whole, 0, 100));
    // If-None-Match present and not matching: If-Modified-Since is not looked at.
    CHECK(is(answer("If-None-Match: \"other\"\r\n" + ims), S::whole, 0, 100));
    // A date in the future, or not a date, is ignored.
    CHECK(is(answer("If-Modified-Since: Fri, 31 Dec 9999 23:59:59 GMT\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Modified-Since: now\r\n"), S::whole, 0, 100));
    // Other methods get the whole file, whatever they ask.
    CHECK(is(answer("If-None-Match: *\r\nRange: bytes=0-1\r\n", "POST"), S::whole, 0, 100));
    CHECK(is(answer("Range: bytes=0-1\r\n", "HEAD"), S::whole, 0, 100));
    CHECK(is(answer("Range: bytes=10-19\r\n"), S::partial, 10, 10));
    CHECK(is(answer("Range: bytes=-5\r\n"), S::partial, 95, 5));
    CHECK(is(answer("Range: bytes=100-\r\n"), S::unsatisfiable));
    CHECK(is(answer("Range: bytes=0-0,2-2\r\n"), S::whole, 0, 100));
    CHECK(is(answer("Range: bytes=0-1\r\nRange: bytes=2-3\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Range: \"64-1\"\r\nRange: bytes=1-2\r\n"), S::partial, 1, 2));
    CHECK(is(answer("If-Range: \"64-2\"\r\nRange: bytes=1-2\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Range: W/\"64-1\"\r\nRange: bytes=1-2\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Range: Sun, 06 Nov 1994 08:49:37 GMT\r\nRange: bytes=1-2\r\n"), S::partial,
             1, 2));
    CHECK(is(answer("If-Range: \"64-1\"\r\nIf-Range: \"64-1\"\r\nRange: bytes=1-2\r\n"), S::whole, 0,
             100));
    // If-Match, else If-Unmodified-Since, fails before anything else is looked at.
    CHECK(is(answer("If-Match: \"64-2\"\r\nIf-None-Match: \"64-1\"\r\n"), S::precondition_failed));
    CHECK(is(answer("If-Match: W/\"64-1\"\r\n", "HEAD"), S::precondition_failed));
    CHECK(is(answer("If-Match: \"x\"\r\nIf-Match: \"64-1\"\r\nRange: bytes=1-2\r\n"), S::partial, 1,
             2));
    CHECK(is(answer("If-Match: *\r\n" + ims), S::not_modified));
    CHECK(is(answer("If-Unmodified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n"),
             S::precondition_failed));
    CHECK(is(answer("If-Unmodified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Unmodified-Since: then\r\n"), S::whole, 0, 100));
    CHECK(is(answer("If-Match: \"64-1\"\r\nIf-Unmodified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n"),
             S::whole, 0, 100));
    CHECK(is(answer("If-Match: \"x\"\r\n", "POST"), S::whole, 0, 100));
    // A conditional 304 comes before the range.
    CHECK(is(answer("If-None-Match: \"64-1\"\r\nRange: bytes=1-2\r\n"), S::not_modified));
    CHECK(is(answer("", "GET", 0), S::whole, 0, 0));
    CHECK(is(answer("Range: bytes=0-\r\n", "GET", 0), S::unsatisfiable));
    // The request line is never a header, even when it holds a colon.
    string head = "GET /Range: bytes=0-1 HTTP/1.1\r\n\r\n";
    CHECK(is(answer_file_request(head, "GET", FileValidators{100, "\"x\"", 0}, now_2026),
             S::whole, 0, 100));
}

// ------------------------------------------------------------ Accept-Encoding

AcceptedCodings codings(std::initializer_list<const char*> lines) {
    AcceptedCodings c;
    for (const char* line : lines) c.read(line);
    return c;
}

void test_accept_encoding_weights() {
    AcceptedCodings none;
    CHECK(none.gzip() == 0 && none.br() == 0 && none.identity() == 1000);
    auto browser = codings({"gzip, deflate, br, zstd"});
    CHECK(browser.gzip() == 1000 && browser.br() == 1000);
    auto weighted = codings({"br;q=0.5, GZIP ; Q=0.8, identity;q=0"});
    CHECK(weighted.br() == 500 && weighted.gzip() == 800 && weighted.identity() == 0);
    auto refused = codings({"gzip;q=0, *"});
    CHECK(refused.gzip() == 0 && refused.br() == 1000 && refused.identity() == 1000);
    auto star_only = codings({"*;q=0.1"});
    CHECK(star_only.gzip() == 100 && star_only.br() == 100);
    auto star_refused = codings({"*;q=0"});
    CHECK(star_refused.gzip() == 0 && star_refused.identity() == 0);
    CHECK(codings({"*;q=0, identity"}).identity() == 1000);
    CHECK(codings({"x-gzip"}).gzip() == 1000);
    CHECK(codings({"gzip", "br;q=0.25"}).br() == 250);
    CHECK(codings({"gzip;q=0", "gzip"}).gzip() == 0);  // the first mention counts
    CHECK(codings({"gzip;q=1.000"}).gzip() == 1000);
    CHECK(codings({"gzip;q=0.001"}).gzip() == 1);
    // Malformed weights skip their member.
    for (const char* bad : {"gzip;q=2", "gzip;q=1.5", "gzip;q=0.1234", "gzip;q=", "gzip;q",
                            "gzip;q=.5", "gzip;q=0.5x", "gzips", "gzip/1", ""}) {
        CHECK(codings({bad}).gzip() == 0);
    }
    CHECK(codings({"gzip;level=1;q=0.5"}).gzip() == 500);
    CHECK(codings({"br;q=0, gzip"}).br() == 0);
}

// ------------------------------------------------------------ static paths

struct PathCase {
    const char* path;
    StaticPathKind kind;
    const char* relative;
    bool directory;
};

void test_static_paths() {
    using K = StaticPathKind;
    const PathCase cases[] = {
        {"/static/a.css", K::inside, "a.css", false},
        {"/static/css/site.css", K::inside, "css/site.css", false},
        {"/static", K::inside, "", true},
        {"/static/", K::inside, "", true},
        {"/static/docs/", K::inside, "docs", true},
        {"/static//a///b", K::inside, "a/b", false},
        {"/static/a%20b.txt", K::inside, "a b.txt", false},
        {"/static/a%2fb", K::inside, "a/b", false},
        {"/static/%E2%82%AC", K::inside, "\xe2\x82\xac", false},
        {"/static/a+b", K::inside, "a+b", false},
        {"/static/a.b.c", K::inside, "a.b.c", false},
        {"/static/%252e%252e/x", K::inside, "%2e%2e/x", false},  // decoded once only
        {"/staticx/a", K::outside, "", false},
        {"/stati", K::outside, "", false},
        {"/other/static/a", K::outside, "", false},
        {"/%73tatic/a", K::outside, "", false},
        {"/static/..", K::refused, "", false},
        {"/static/../secret", K::refused, "", false},
        {"/static/a/../../x", K::refused, "", false},
        {"/static/%2e%2e/x", K::refused, "", false},
        {"/static/%2E%2e%2Fx", K::refused, "", false},
        {"/static/..%2fx", K::refused, "", false},
        {"/static/a%2f..%2f..%2fx", K::refused, "", false},
        {"/static/.", K::refused, "", false},
        {"/static/./a", K::refused, "", false},
        {"/static/.env", K::refused, "", false},
        {"/static/.git/config", K::refused, "", false},
        {"/static/a/.hidden", K::refused, "", false},
        {"/static/%2egit/config", K::refused, "", false},
        {"/static/a%00.txt", K::refused, "", false},
        {"/static/a%5c..%5cx", K::refused, "", false},
        {"/static/a\\b", K::refused, "", false},
        {"/static/%", K::refused, "", false},
        {"/static/%2", K::refused, "", false},
        {"/static/%zz", K::refused, "", false},
        {"/static/%2g", K::refused, "", false},
    };
    char out[64];
    for (const PathCase& c : cases) {
        StaticPath p = resolve_static_path(c.path, "/static", out, sizeof out);
        bool ok = p.kind == c.kind &&
                  (c.kind != K::inside || (p.relative == c.relative && p.directory == c.directory));
        CHECK(ok);
        if (!ok) std::fprintf(stderr, "  static path case: %s\n", c.path);
    }
    // The prefix's trailing "/" is ignored; "/" and "" are the whole site.
    CHECK(resolve_static_path("/static/a", "/static/", out, sizeof out).relative == "a");
    CHECK(resolve_static_path("/a/b", "/", out, sizeof out).relative == "a/b");
    CHECK(resolve_static_path("/", "", out, sizeof out).kind == K::inside);
    CHECK(resolve_static_path("/..", "/", out, sizeof out).kind == K::refused);
    // A decoded path must fit the buffer, exactly.
    CHECK(resolve_static_path("/s/abcd", "/s", out, 5).relative == "abcd");
    CHECK(resolve_static_path("/s/abcde", "/s", out, 5).kind == K::refused);
}

// ------------------------------------------------------------ reason phrases, media types

void test_reason_phrases() {
    CHECK(reason_phrase(200) == "OK");
    CHECK(reason_phrase(404) == "Not Found");
    CHECK(reason_phrase(416) == "Range Not Satisfiable");
    CHECK(reason_phrase(418) == "I'm a teapot");
    CHECK(reason_phrase(422) == "Unprocessable Content");
    CHECK(reason_phrase(429) == "Too Many Requests");
    CHECK(reason_phrase(511) == "Network Authentication Required");
    for (unsigned unknown : {0u, 99u, 199u, 306u, 420u, 599u, 999u, 65535u})
        CHECK(reason_phrase(unknown).empty());
}

void test_media_type_table() {
    CHECK(path_extension("a/b.tar.gz") == "gz");
    CHECK(path_extension("a.b/c").empty());
    CHECK(path_extension(".profile").empty());
    CHECK(path_extension("dir/.profile").empty());
    CHECK(path_extension("a.").empty());
    CHECK(path_extension("..x") == "x");

    const string long_extension(media_extension_limit + 1, 'x');
    const MediaTypeEntry entries[] = {
        {".html", "text/html"},
        {".js", "text/javascript"},
        {".png", "image/png"},
        {".PNG", "image/other"},  // a later duplicate, in another case
        {".svg", "image/svg+xml"},
        {".json", "application/json"},
        {".css", "text/css; charset=latin-1"},
        {"wasm", "application/wasm"},
        {"", "text/plain"},
        {".bad", "text/plain\r\nX-Injected: 1"},
        {".a/b", "text/plain"},
        {long_extension, "text/plain"},
    };
    MediaTypeTable table;
    CHECK(table.build(entries, sizeof entries / sizeof entries[0]));
    CHECK(table.size() == 7);
    CHECK(table.find("index.html") == "text/html; charset=utf-8");
    CHECK(table.find("app/MAIN.JS") == "text/javascript; charset=utf-8");
    CHECK(table.find("logo.png") == "image/png");
    CHECK(table.find("logo.Png") == "image/png");
    CHECK(table.find("icon.svg") == "image/svg+xml; charset=utf-8");
    CHECK(table.find("data.json") == "application/json");
    CHECK(table.find("site.css") == "text/css; charset=latin-1");
    CHECK(table.find("m.wasm") == "application/wasm");
    CHECK(table.find("x.bad").empty());
    CHECK(table.find("noextension").empty());
    CHECK(table.find("file." + long_extension).empty());
    CHECK(table.find(".html").empty());
    CHECK(table.build(nullptr, 0) && table.size() == 0 && table.find("a.html").empty());
}

}  // namespace

int main() {
    test_dates_are_written_as_imf_fixdate();
    test_the_three_date_forms_are_read();
    test_other_date_texts_are_refused();
    test_etags_are_strong_and_change_with_size_and_time();
    test_if_none_match_compares_weakly();
    test_if_match_compares_strongly();
    test_if_range_needs_a_strong_match_or_the_exact_date();
    test_range_values();
    test_file_answers();
    test_accept_encoding_weights();
    test_static_paths();
    test_reason_phrases();
    test_media_type_table();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
