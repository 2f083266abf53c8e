// The rules of a file response over hostile fields: Range against a model
// written from the grammar, HTTP dates against their own writer, and the
// answer to a whole head against the invariants a sender relies on. Bytes
// 0-7 give the file's size, 8-15 its modification time, byte 16 the method;
// the rest is the field value (and the head's header lines).
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "parse/accept_encoding.hpp"
#include "parse/byte_range.hpp"
#include "parse/file_answer.hpp"
#include "parse/http_date.hpp"
#include "parse/validators.hpp"

using namespace zelweb;

namespace {

constexpr int64_t now = 1796000000;

bool ows(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && ows(s.front())) s.remove_prefix(1);
    while (!s.empty() && ows(s.back())) s.remove_suffix(1);
    return s;
}

// Digits only, at least one, saturating at 2^64 - 1.
std::optional<uint64_t> number(std::string_view s) {
    if (s.empty()) return std::nullopt;
    unsigned __int128 v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > UINT64_MAX) v = static_cast<unsigned __int128>(UINT64_MAX) + 1;
    }
    return v > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(v);
}

RangeAnswer model_range(std::string_view v, uint64_t size) {
    const RangeAnswer whole;
    if (v.size() < 6) return whole;
    for (size_t i = 0; i < 5; ++i)
        if (std::tolower(static_cast<unsigned char>(v[i])) != "bytes"[i]) return whole;
    if (v[5] != '=') return whole;
    std::vector<std::string_view> members;
    std::string_view rest = v.substr(6);
    for (size_t start = 0;;) {
        size_t comma = rest.find(',', start);
        std::string_view m = trim(rest.substr(start, comma == rest.npos ? rest.npos : comma - start));
        if (!m.empty()) members.push_back(m);
        if (comma == rest.npos) break;
        start = comma + 1;
    }
    if (members.empty()) return whole;
    std::vector<RangeAnswer> answers;
    for (std::string_view m : members) {
        size_t dash = m.find('-');
        if (dash == m.npos) return whole;
        if (dash == 0) {
            auto n = number(m.substr(1));
            if (!n) return whole;
            if (*n == 0 || size == 0)
                answers.push_back({RangeKind::unsatisfiable, 0, 0});
            else
                answers.push_back({RangeKind::partial, *n >= size ? 0 : size - *n, size - 1});
            continue;
        }
        auto first = number(m.substr(0, dash));
        std::string_view tail = m.substr(dash + 1);
        auto last = tail.empty() ? std::optional<uint64_t>(UINT64_MAX) : number(tail);
        if (!first || !last || *last < *first) return whole;
        if (*first >= size)
            answers.push_back({RangeKind::unsatisfiable, 0, 0});
        else
            answers.push_back({RangeKind::partial, *first, *last < size ? *last : size - 1});
    }
    if (answers.size() == 1) return answers[0];
    for (const RangeAnswer& a : answers)
        if (a.kind == RangeKind::partial) return whole;
    return {RangeKind::unsatisfiable, 0, 0};
}

uint64_t read_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 17) return 0;
    uint64_t file_size = read_u64(data);
    if (data[16] & 1) file_size %= 4096;  // small sizes meet the edges more often
    int64_t mtime = static_cast<int64_t>(read_u64(data + 8));
    const char* methods[] = {"GET", "HEAD", "POST", "get"};
    const char* method = methods[data[16] >> 1 & 3];
    std::string_view text(reinterpret_cast<const char*>(data) + 17, size - 17);

    RangeAnswer got = parse_byte_range(text, file_size), want = model_range(text, file_size);
    FUZZ_CHECK(got.kind == want.kind);
    if (got.kind == RangeKind::partial) {
        FUZZ_CHECK(got.first == want.first && got.last == want.last);
        FUZZ_CHECK(got.first <= got.last && got.last < file_size);
    }

    if (auto t = parse_http_date(text, now)) {
        char again[http_date_size];
        format_http_date(*t, again);
        FUZZ_CHECK(parse_http_date(std::string_view(again, sizeof again), now) == *t);
        // An IMF-fixdate reads back as written, the day name aside.
        if (text.size() == http_date_size && text[3] == ',')
            FUZZ_CHECK(std::memcmp(again + 3, text.data() + 3, http_date_size - 3) == 0);
    }
    char written[http_date_size];
    format_http_date(mtime, written);
    auto back = parse_http_date(std::string_view(written, sizeof written), now);
    FUZZ_CHECK(back.has_value());
    if (mtime >= -62167219200 && mtime <= 253402300799) FUZZ_CHECK(*back == mtime);

    char etag[etag_capacity];
    std::string_view tag(etag, format_etag(file_size, mtime, etag));
    FUZZ_CHECK(none_match_holds(tag, tag));
    FUZZ_CHECK(none_match_holds("W/" + std::string(tag), tag));
    FUZZ_CHECK(if_range_holds(tag, tag, mtime, now));
    FUZZ_CHECK(match_holds(tag, tag) && !match_holds("W/" + std::string(tag), tag));
    // A strong match is a weak one too.
    FUZZ_CHECK(!match_holds(text, tag) || none_match_holds(text, tag));
    if_range_holds(text, tag, mtime, now);

    AcceptedCodings codings;
    codings.read(text);
    for (int w : {codings.gzip(), codings.br(), codings.identity()}) FUZZ_CHECK(w >= 0 && w <= 1000);

    std::string head = std::string(method) + " /f HTTP/1.1\r\n" + std::string(text) + "\r\n\r\n";
    FileAnswer a = answer_file_request(head, method, FileValidators{file_size, tag, mtime}, now);
    bool get = std::strcmp(method, "GET") == 0, head_method = std::strcmp(method, "HEAD") == 0;
    switch (a.status) {
        case FileStatus::whole: FUZZ_CHECK(a.first == 0 && a.count == file_size); break;
        case FileStatus::partial:
            FUZZ_CHECK(get && a.count > 0 && a.first < file_size && a.count <= file_size - a.first);
            break;
        case FileStatus::not_modified: FUZZ_CHECK(get || head_method); break;
        case FileStatus::unsatisfiable: FUZZ_CHECK(get); break;
        case FileStatus::precondition_failed:
            FUZZ_CHECK((get || head_method) && a.count == 0);
            break;
    }
    return 0;
}
