// The layout shared by the targets that cut their input into receives:
// byte 0 holds flags, byte 1 the number n of piece sizes (mod 17), the next
// n bytes the sizes (0 counts as 1), and the rest is the text itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace zelweb_test {

struct SplitInput {
    uint8_t flags = 0;
    std::vector<size_t> pieces;  // the last one repeats; empty: all at once
    std::string_view text;
};

inline SplitInput split_input(const uint8_t* data, size_t size) {
    SplitInput in;
    size_t i = 0;
    if (i < size) in.flags = data[i++];
    size_t n = i < size ? data[i++] % 17 : 0;
    for (; n > 0 && i < size; --n) in.pieces.push_back(data[i] ? data[i] : 1), ++i;
    in.text = std::string_view(reinterpret_cast<const char*>(data) + i, size - i);
    return in;
}

// Fails loudly so that libFuzzer saves the input; the line goes to
// standard error, which is not buffered: the trap would lose it otherwise.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                                  \
        }                                                                                      \
    } while (0)

}  // namespace zelweb_test
