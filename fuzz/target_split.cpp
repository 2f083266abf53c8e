// The target split against the same split made with the record's cut.
#include <string>

#include "parse/pairs.hpp"
#include "parse/target.hpp"
#include "fuzz_input.hpp"
#include "cut.hpp"
#include "models.hpp"

using namespace zelweb_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The record's url is NUL-terminated text.
    std::string_view target = before_nul(std::string_view(reinterpret_cast<const char*>(data), size));
    auto t = zelweb::split_target(target);

    std::string copy(target);
    char* cursor = copy.data();
    std::string path = zelweb_test::cut(&cursor, "?");
    char* query = zelweb_test::cut(&cursor, "?");

    FUZZ_CHECK(t.path == path);
    FUZZ_CHECK(t.query.has_value() == (query != nullptr));
    if (query) FUZZ_CHECK(*t.query == query);
    FUZZ_CHECK(t.path.data() == target.data());
    return 0;
}
