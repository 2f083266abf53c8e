// Static paths against a model that decodes first and then checks each
// segment, and against the invariants the file system relies on. Byte 0
// picks the prefix and the buffer's size; the rest is the path.
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "parse/static_path.hpp"

using namespace zelweb;

namespace {

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// kind, and the relative path when inside
std::pair<StaticPathKind, std::string> model(std::string path, std::string prefix, size_t capacity) {
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() < prefix.size())
        return {StaticPathKind::outside, ""};
    std::string rest = path.substr(prefix.size());
    if (!rest.empty() && rest[0] != '/') return {StaticPathKind::outside, ""};
    if (path.empty()) return {StaticPathKind::outside, ""};
    std::string decoded;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            decoded += rest[i];
            continue;
        }
        if (i + 2 >= rest.size() || hex(rest[i + 1]) < 0 || hex(rest[i + 2]) < 0)
            return {StaticPathKind::refused, ""};
        decoded += static_cast<char>(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
        i += 2;
    }
    if (decoded.size() > capacity || decoded.find('\0') != std::string::npos ||
        decoded.find('\\') != std::string::npos)
        return {StaticPathKind::refused, ""};
    std::vector<std::string> segments;
    std::string segment;
    for (size_t i = 0; i <= decoded.size(); ++i) {
        if (i == decoded.size() || decoded[i] == '/') {
            if (!segment.empty()) segments.push_back(segment);
            segment.clear();
        } else {
            segment += decoded[i];
        }
    }
    std::string joined;
    for (const std::string& s : segments) {
        if (s[0] == '.') return {StaticPathKind::refused, ""};
        joined += (joined.empty() ? "" : "/") + s;
    }
    return {StaticPathKind::inside, joined};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* prefixes[] = {"/static", "/", "", "/a/b/"};
    std::string prefix = prefixes[data[0] & 3];
    size_t capacity = data[0] & 4 ? 16 : 4096;
    std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<char> out(capacity);
    StaticPath got = resolve_static_path(path, prefix, out.data(), capacity);
    auto want = model(path, prefix, capacity);
    FUZZ_CHECK(got.kind == want.first);
    if (got.kind != StaticPathKind::inside) return 0;
    FUZZ_CHECK(got.relative == want.second);
    std::string_view r = got.relative;
    FUZZ_CHECK(r.size() <= capacity);
    FUZZ_CHECK(r.empty() || (r.front() != '/' && r.back() != '/'));
    FUZZ_CHECK(r.find("//") == r.npos && r.find("/.") == r.npos && r.substr(0, 1) != ".");
    FUZZ_CHECK(r.find('\0') == r.npos && r.find('\\') == r.npos);
    return 0;
}
