// The chunked body decoder against hand-written bodies and the slow model,
// fed whole, in pieces, into small output buffers and in place.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "chunked_model.hpp"
#include "parse/chunked.hpp"

using namespace zelweb;
using namespace zelweb_test;
using std::string;

namespace {

// A writable copy of `bytes` whose last byte is the last before a PROT_NONE
// page, so that reading past the input faults.
struct GuardedBytes {
    explicit GuardedBytes(const string& bytes) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t pages = (bytes.size() + page - 1) / page + 1;
        size = pages * page;
        base = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base + size - page, page, PROT_NONE);
        data = base + size - page - bytes.size();
        std::memcpy(data, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { munmap(base, size); }
    char* base;
    size_t size;
    char* data;
};

// The decoder agrees with `want` and with the model however the body comes:
// whole, in odd pieces, a byte at a time, into 1-byte buffers, in place.
void check_body(const string& body, const ChunkedOutcome& want, int line) {
    auto agrees = [&](const ChunkedOutcome& got) { return got == want; };
    bool model_agrees = agrees(chunked_model(body));
    if (!model_agrees) std::fprintf(stderr, "model disagrees on line %d\n", line);
    CHECK(model_agrees);
    struct Way { std::vector<size_t> pieces, capacities; bool in_place; };
    const Way ways[] = {{{}, {}, false},    {{1}, {}, false},          {{}, {1}, false},
                        {{1}, {1}, false},  {{3, 1, 7}, {2, 0, 5}, false}, {{}, {}, true},
                        {{1}, {}, true},    {{5, 2}, {1}, true}};
    for (const Way& w : ways) {
        Driven d = drive_decoder(body, w.pieces, w.capacities, w.in_place);
        if (!agrees(d.outcome) || !d.sound) std::fprintf(stderr, "decoder disagrees on line %d\n", line);
        CHECK(agrees(d.outcome) && d.sound);
    }
    GuardedBytes g(body);
    ChunkedDecoder decoder;
    auto r = decoder.decode(g.data, body.size(), g.data, body.size());
    CHECK(r.status == want.status && string(g.data, r.produced) == want.data);
}

ChunkedOutcome done(const string& data, size_t consumed) { return {Status::done, data, consumed}; }
ChunkedOutcome need_more(const string& data) { return {Status::need_more, data, 0}; }

void test_valid_bodies_and_every_prefix() {
    const string nul("a\0b", 3);
    struct Row { string body, data; };
    const Row rows[] = {
        {"5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde"},
        {"0\r\n\r\n", ""},
        // Extensions, with and without blanks, on data chunks and the last one.
        {"5;name=value\r\nhello\r\n0;last\r\n\r\n", "hello"},
        {"5 \t; a = \"b;c\" ;d\r\nhello\r\n0\t;x\r\n\r\n", "hello"},
        // Trailers, dropped.
        {"1\r\nx\r\n0\r\nExpires: never\r\nX-Sum: 1\r\n\r\n", "x"},
        {"0\r\n:\r\n\r\n", ""},
        // Hex in both cases, leading zeros.
        {"a\r\n0123456789\r\nA\r\nabcdefghij\r\n0\r\n\r\n", "0123456789abcdefghij"},
        {"1F\r\n" + string(31, 'u') + "\r\n1f\r\n" + string(31, 'l') + "\r\n0\r\n\r\n",
         string(31, 'u') + string(31, 'l')},
        {"000005\r\nhello\r\n0000\r\n\r\n", "hello"},
        // Data is data: NUL, CR, LF and things that look like framing.
        {"3\r\n" + nul + "\r\n6\r\n\r\n0\r\n\n\r\n0\r\n\r\n", nul + "\r\n0\r\n\n"},
    };
    for (const Row& row : rows) {
        check_body(row.body, done(row.data, row.body.size()), __LINE__);
        // Every prefix asks for more and has given all the data it holds.
        for (size_t n = 0; n < row.body.size(); ++n) {
            ChunkedOutcome model = chunked_model(row.body.substr(0, n));
            CHECK(model.status == Status::need_more && row.data.rfind(model.data, 0) == 0);
            check_body(row.body.substr(0, n), model, __LINE__);
        }
    }
}

void test_bytes_after_the_end_stay_unconsumed() {
    const string body = "1\r\nx\r\n0\r\n\r\n";
    check_body(body + "GET / HTTP/1.1\r\n\r\n", done("x", body.size()), __LINE__);
    check_body(body + body, done("x", body.size()), __LINE__);
}

void test_malformed_framing() {
    struct Row { string body, why; };
    const Row rows[] = {
        {"\r\nhello\r\n0\r\n\r\n", "chunked body: empty chunk size"},
        {";ext\r\n", "chunked body: empty chunk size"},
        {"5x\r\n", "chunked body: bad byte after chunk size"},
        {"5 5\r\n", "chunked body: bad byte after chunk size"},
        {"5 \r\n", "chunked body: bad byte after chunk size"},
        {"0x5\r\n", "chunked body: bad byte after chunk size"},
        {string("5;a\0\r\n", 6), "chunked body: NUL in chunk extension"},
        {"5\nhello", "chunked body: LF without CR in chunk size line"},
        {"5;a\nhello", "chunked body: LF without CR in chunk size line"},
        {"5\rhello", "chunked body: CR without LF in chunk size line"},
        {"5;a\r\r\n", "chunked body: CR without LF in chunk size line"},
        {"5\r\nhelloX\r\n0\r\n\r\n", "chunked body: no CRLF after chunk data"},
        {"5\r\nhello\n0\r\n\r\n", "chunked body: no CRLF after chunk data"},
        {"5\r\nhelloX\n0\r\n\r\n", "chunked body: no CRLF after chunk data"},
        {"5\r\nhello\r0\r\n\r\n", "chunked body: no CRLF after chunk data"},
        {"5\r\nhello0\r\n\r\n", "chunked body: no CRLF after chunk data"},
        {"0\r\nA: b\n\r\n", "chunked body: LF without CR in trailer section"},
        {"0\r\n\n", "chunked body: LF without CR in trailer section"},
        {"0\r\nA: b\rx\r\n\r\n", "chunked body: CR without LF in trailer section"},
        {"0\r\n\rx", "chunked body: CR without LF in trailer section"},
        {string("0\r\nA: \0\r\n\r\n", 11), "chunked body: NUL in trailer section"},
        {"10000000000000000\r\n", "chunked body: chunk size over 64 bits"},
        {"1FFFFFFFFFFFFFFFF\r\n", "chunked body: chunk size over 64 bits"},
    };
    for (const Row& row : rows) {
        // The data before the fault is still given.
        string data = row.body.rfind("5\r\nhello", 0) == 0 ? "hello" : "";
        check_body(row.body, {Status::malformed, data, 0}, __LINE__);
        ChunkedDecoder d;
        string in = row.body;
        CHECK(d.decode(in.data(), in.size(), in.data(), in.size()).status == Status::malformed);
        if (row.why != d.error_text()) std::fprintf(stderr, "got \"%s\" for \"%s\"\n", d.error_text(), row.why.c_str());
        CHECK(row.why == d.error_text());
    }
}

void test_limits() {
    const string end = "0\r\n\r\n";
    // A size line of 1024 bytes with its CRLF, as an extension or as zeros.
    string ext = "1;" + string(chunk_line_limit - 4, 'e') + "\r\n";
    string zeros = string(chunk_line_limit - 3, '0') + "1\r\n";
    CHECK(ext.size() == chunk_line_limit && zeros.size() == chunk_line_limit);
    check_body(ext + "x\r\n" + end, done("x", ext.size() + 3 + end.size()), __LINE__);
    check_body(zeros + "x\r\n" + end, done("x", zeros.size() + 3 + end.size()), __LINE__);
    check_body("1;e" + ext.substr(2) + "x\r\n" + end, {Status::malformed, "", 0}, __LINE__);
    check_body("0" + zeros + "x\r\n" + end, {Status::malformed, "", 0}, __LINE__);
    check_body(string(chunk_line_limit + 1, '0'), {Status::malformed, "", 0}, __LINE__);  // unended

    // A trailer section of 8192 bytes: one long line and the final CRLF.
    string trailer = "X: " + string(trailer_section_limit - 7, 't') + "\r\n\r\n";
    CHECK(trailer.size() == trailer_section_limit);
    check_body("0\r\n" + trailer, done("", 3 + trailer.size()), __LINE__);
    check_body("0\r\nY" + trailer, {Status::malformed, "", 0}, __LINE__);
    // Many short lines count together.
    string lines;
    while (lines.size() + 2 <= trailer_section_limit) lines += "A:1\r\n";
    check_body("0\r\n" + lines + "\r\n", {Status::malformed, "", 0}, __LINE__);
    lines.resize(lines.size() - 5);
    check_body("0\r\n" + lines + "\r\n", done("", 3 + lines.size() + 2), __LINE__);

    // The largest 64-bit size is a size: it only needs more data.
    check_body("FFFFFFFFFFFFFFFF\r\nabc", need_more("abc"), __LINE__);
    check_body("0000ffffffffffffffff;x\r\nabc", need_more("abc"), __LINE__);
    ChunkedDecoder d;
    string huge = "FFFFFFFFFFFFFFFF\r\n" + string(1000, 'd');
    auto r = d.decode(huge.data(), huge.size(), huge.data(), huge.size());
    CHECK(r.status == Status::need_more && r.consumed == huge.size() && d.data_size() == 1000);
}

void test_output_buffer_full() {
    const string body = "5\r\nhello\r\n0\r\n\r\n";
    char out[8];
    // No room: the size line is taken, the data waits.
    ChunkedDecoder d;
    auto r = d.decode(body.data(), body.size(), out, 0);
    CHECK(r.status == Status::need_more && r.consumed == 3 && r.produced == 0);
    // Exactly the room for the data: the framing after it is still read to the end.
    r = d.decode(body.data() + 3, body.size() - 3, out, 5);
    CHECK(r.status == Status::done && r.consumed == body.size() - 3 && string(out, r.produced) == "hello");
    CHECK(d.data_size() == 5);
}

}  // namespace

int main() {
    test_valid_bodies_and_every_prefix();
    test_bytes_after_the_end_stay_unconsumed();
    test_malformed_framing();
    test_limits();
    test_output_buffer_full();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
