// The pieces of an environment over arbitrary bytes: the forwarded client,
// scheme and host are views into the fields and hold what they must; a
// decoded path is never longer than its text and decodes what it should;
// an authority's host and port are pieces of it; a key is written within
// its capacity.
#include <cstring>
#include <string>

#include "fuzz_input.hpp"
#include "parse/authority.hpp"
#include "parse/cgi_name.hpp"
#include "parse/forwarded.hpp"
#include "parse/percent.hpp"

using namespace zelweb_test;
using namespace zelweb;

namespace {

bool inside(std::string_view view, std::string_view in) {
    return view.empty() ||
           (view.data() >= in.data() && view.data() + view.size() <= in.data() + in.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    ForwardedFields f = collect_forwarded(text);
    FUZZ_CHECK(f.for_count <= forwarded_lines_limit);
    for (size_t i = 0; i < f.for_count; ++i) FUZZ_CHECK(inside(f.for_lines[i], text));
    TrustedProxies trusted;
    // The first line of the input names the proxies, split at commas.
    std::string_view first = text.substr(0, text.find('\n'));
    for (size_t start = 0; start <= first.size();) {
        size_t comma = first.find(',', start);
        trusted.add(first.substr(start, comma == first.npos ? first.npos : comma - start));
        if (comma == first.npos) break;
        start = comma + 1;
    }
    std::string_view client = forwarded_client(f, trusted);
    FUZZ_CHECK(inside(client, text));
    FUZZ_CHECK(client.find(',') == client.npos);
    std::string_view scheme = forwarded_scheme(f);
    FUZZ_CHECK(scheme.empty() || scheme == "http" || scheme == "https");
    std::string_view host = forwarded_host(f);
    FUZZ_CHECK(inside(host, text));
    FUZZ_CHECK(host.find_first_of(" \t\r\n\0,", 0, 6) == host.npos);

    std::string decoded(size, '\0');
    size_t n = percent_decode(text, decoded.data());
    FUZZ_CHECK(n <= size);
    if (text.find('%') == text.npos) FUZZ_CHECK(std::memcmp(decoded.data(), data, size) == 0);

    Authority a = split_authority(text);
    FUZZ_CHECK(inside(a.host, text) && inside(a.port, text));
    FUZZ_CHECK(a.host.size() + a.port.size() <= size);

    char key[cgi_key_capacity];
    size_t k = cgi_header_key(text, key, sizeof key);
    FUZZ_CHECK(k == 0 || k == size + 5);
    return 0;
}
