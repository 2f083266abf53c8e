// Query ("&") and cookie/"Auth" ("; ") lookups against the walk made with the
// record's cut. Byte 0 picks the separator, byte 1 the key length.
#include <string>

#include "parse/pairs.hpp"
#include "parse/target.hpp"
#include "fuzz_input.hpp"
#include "models.hpp"

using namespace zelweb_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string separator = data[0] & 1 ? "; " : "&";
    size_t key_size = data[1] % 32;
    std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (key_size > rest.size()) key_size = rest.size();
    // Arguments and fields count up to their first zero byte.
    std::string key(before_nul(rest.substr(0, key_size)));
    std::string list(before_nul(rest.substr(key_size)));

    auto got = zelweb::find_pair_value(list, separator, key);
    auto want = lookup_by_cut(list, separator, key);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got) {
        FUZZ_CHECK(*got == *want);
        FUZZ_CHECK(got->empty() || (got->data() >= list.data() && got->data() + got->size() <= list.data() + list.size()));
        FUZZ_CHECK(got->find('=') == std::string_view::npos);
    }
    return 0;
}
