// The multipart reader, fed the same body in pieces chosen by the input and
// all at once, against the whole-body model. With flag bit 0 set, every byte
// 0x01 of the text is replaced by CR LF and the delimiter line, so that the
// bodies the fuzzer makes hold many delimiters.
#include <string>

#include "parse/text.hpp"

#include "fuzz_input.hpp"
#include "multipart_model.hpp"

using namespace zelweb_test;
using namespace zelweb_test;

namespace {
void quiet(size_t) {}
}  // namespace

// The refusal message of an over-long delimiter line would flood the log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelweb::set_overflow_reporter(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SplitInput in = split_input(data, size);
    std::string body;
    if (in.flags & 1) {
        // Text: boundary, 0x00, then the parts; 0x01 marks a delimiter.
        size_t nul = in.text.find('\0');
        std::string_view boundary = in.text.substr(0, nul);
        std::string_view rest = nul == in.text.npos ? std::string_view() : in.text.substr(nul + 1);
        std::string line = "--" + std::string(boundary);
        body = line + "\r\n";
        for (char c : rest) {
            if (c == '\x01')
                body += "\r\n" + line;
            else
                body += c;
        }
    } else {
        body = std::string(in.text);
    }

    Outcome want = reference_split(body);
    Outcome whole = drive_reader(body, {});
    Outcome pieces = drive_reader(body, in.pieces);
    FUZZ_CHECK(whole == want && !whole.empty_data && whole.sticky);
    FUZZ_CHECK(pieces == want && !pieces.empty_data && pieces.sticky);
    return 0;
}
