// The head terminator scan: any cut of the input into receives finds the end
// at the same byte as one pass over the whole text.
#include "parse/head.hpp"
#include "fuzz_input.hpp"

using namespace zelweb_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SplitInput in = split_input(data, size);
    std::string_view s = in.text;

    size_t want = std::string_view::npos;
    int naive = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        naive = (s[i] == '\r' || s[i] == '\n') ? naive + 1 : 0;
        if (naive == 4) {
            want = i + 1;
            break;
        }
    }

    int run = 0;
    auto whole = zelweb::scan_break_run(s.data(), s.size(), run);
    FUZZ_CHECK(whole ? *whole == want : want == std::string_view::npos);
    if (!whole) FUZZ_CHECK(run == naive && run >= 0 && run < 4);

    run = 0;
    size_t from = 0, piece = 0, got = std::string_view::npos;
    while (from < s.size()) {
        size_t n = in.pieces.empty() ? s.size() : in.pieces[piece < in.pieces.size() ? piece : in.pieces.size() - 1];
        ++piece;
        if (n > s.size() - from) n = s.size() - from;
        if (auto end = zelweb::scan_break_run(s.data() + from, n, run)) {
            FUZZ_CHECK(*end >= 1 && *end <= n);
            got = from + *end;
            break;
        }
        FUZZ_CHECK(run >= 0 && run < 4);
        from += n;
    }
    FUZZ_CHECK(got == want);
    return 0;
}
