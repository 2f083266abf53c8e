// The part-head rules over arbitrary heads: every view lies in the head and
// says what the rules say.
#include "parse/multipart.hpp"
#include "parse/part_head.hpp"
#include "fuzz_input.hpp"

using namespace zelweb_test;

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view head(reinterpret_cast<const char*>(data), size);
    zelweb::PartHead h = zelweb::parse_part_head(head);
    constexpr std::string_view file_key = "filename=\"";

    size_t key = head.find(file_key);
    FUZZ_CHECK(h.filename.has_value() == (key != head.npos));
    if (h.filename) {
        FUZZ_CHECK(inside(*h.filename, head));
        size_t from = key + file_key.size();
        FUZZ_CHECK(h.filename->data() == head.data() + from);
        FUZZ_CHECK(h.filename->find('"') == std::string_view::npos);
        FUZZ_CHECK(h.filename->find("\r\n") == std::string_view::npos);
        size_t after = from + h.filename->size();
        bool closed = after < head.size() && head[after] == '"';
        if (!closed) {
            // No quote before the end of the name's line.
            size_t quote = head.find('"', from);
            FUZZ_CHECK(quote == head.npos || quote > after);
            FUZZ_CHECK(after == head.size() || head.substr(after, 2) == "\r\n");
            FUZZ_CHECK(!h.content_type);
        }
        if (h.content_type) {
            FUZZ_CHECK(inside(*h.content_type, head));
            size_t at = head.find("Content-Type: ", after);
            FUZZ_CHECK(at != head.npos && h.content_type->data() == head.data() + at + 14);
            FUZZ_CHECK(h.content_type->find("\r\n") == std::string_view::npos);
        } else if (closed) {
            FUZZ_CHECK(head.find("Content-Type: ", after) == head.npos);
        }
    } else {
        FUZZ_CHECK(!h.content_type);
    }
    if (h.name) {
        FUZZ_CHECK(inside(*h.name, head));
        size_t at = size_t(h.name->data() - head.data());
        FUZZ_CHECK(at >= 6 && head.substr(at - 6, 6) == "name=\"");
        FUZZ_CHECK(at == 6 || head[at - 7] == ' ' || head[at - 7] == ';');
        FUZZ_CHECK(at + h.name->size() < head.size() && head[at + h.name->size()] == '"');
        FUZZ_CHECK(h.name->find('"') == std::string_view::npos);
    }
    return 0;
}
