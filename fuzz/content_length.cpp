// "Content-Length" against strtoul's reading in 32 bits.
#include "parse/head.hpp"
#include "fuzz_input.hpp"
#include "models.hpp"

using namespace zelweb_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    uint32_t got = zelweb::parse_content_length(value);
    StrtoulModel m = strtoul32(value);
    FUZZ_CHECK(got == m.value);
    // A leading "+" never changes the number.
    if (!value.empty() && value[0] >= '0' && value[0] <= '9') {
        std::string plus = "+" + std::string(value);
        FUZZ_CHECK(zelweb::parse_content_length(plus) == got);
    }
    return 0;
}
