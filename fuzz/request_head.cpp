// The request line and the header pass over an arbitrary head.
#include <string>
#include <utility>
#include <vector>

#include "parse/head.hpp"
#include "parse/pairs.hpp"
#include "parse/target.hpp"
#include "fuzz_input.hpp"
#include "models.hpp"

using namespace zelweb_test;
using zelweb::HeaderName;

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::optional<HeaderName> model_name(std::string_view name) {
    std::string n = lower(name);
    if (n == "content-type") return HeaderName::content_type;
    if (n == "cookie") return HeaderName::cookie;
    if (n == "auth") return HeaderName::auth;
    if (n == "user-agent") return HeaderName::user_agent;
    if (n == "content-length") return HeaderName::content_length;
    if (n == "expect") return HeaderName::expect;
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view head(reinterpret_cast<const char*>(data), size);

    std::string_view line = zelweb::first_line(head);
    FUZZ_CHECK(line.data() == head.data() && line.find("\r\n") == line.npos);
    FUZZ_CHECK(line.size() == head.size() || head.substr(line.size(), 2) == "\r\n");

    auto r = zelweb::split_request_line(line);
    FUZZ_CHECK(r.method.has_value());
    std::string rebuilt(*r.method);
    FUZZ_CHECK(r.method->find(' ') == std::string_view::npos);
    if (r.target) {
        FUZZ_CHECK(r.target->find(' ') == std::string_view::npos);
        rebuilt += " " + std::string(*r.target);
    }
    if (r.protocol) {
        FUZZ_CHECK(r.target && r.protocol->find(' ') == std::string_view::npos);
        rebuilt += " " + std::string(*r.protocol);
        FUZZ_CHECK(line.substr(0, rebuilt.size()) == rebuilt);
        FUZZ_CHECK(line.size() == rebuilt.size() || line[rebuilt.size()] == ' ');
    } else {
        FUZZ_CHECK(line == rebuilt);
    }
    if (r.target) {
        auto t = zelweb::split_target(*r.target);
        FUZZ_CHECK(t.path.find('?') == std::string_view::npos);
    }

    std::vector<std::pair<HeaderName, std::string_view>> got, want;
    zelweb::for_each_header(head, [&](HeaderName name, std::string_view value) {
        FUZZ_CHECK(value.data() >= head.data() && value.data() + value.size() <= head.data() + head.size());
        got.emplace_back(name, value);
    });
    for (size_t start = 0;;) {
        size_t end = head.find("\r\n", start);
        std::string_view l = head.substr(start, end == head.npos ? head.npos : end - start);
        size_t colon = l.find(':');
        if (colon != l.npos) {
            if (auto name = model_name(l.substr(0, colon))) {
                std::string_view v = l.substr(colon + 1);
                while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
                while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
                want.emplace_back(*name, v);
            }
        }
        if (end == head.npos) break;
        start = end + 2;
    }
    FUZZ_CHECK(got == want);

    for (auto& [name, value] : got) {
        if (name != HeaderName::content_length) continue;
        FUZZ_CHECK(zelweb::parse_content_length(value) == strtoul32(value).value);
    }
    return 0;
}
