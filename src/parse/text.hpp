// Text in fixed fields: the bounded copy every parser and setter stores
// through, and reading a field up to its first zero byte.
#pragma once
#include <cstddef>
#include <cstring>
#include <string_view>

namespace zelweb {

// Copies `src` and a terminator into `dst` only when src.size() < limit;
// otherwise reports "size of data must: <limit>" and leaves `dst` unchanged.
// Returns whether the copy was made.
bool bounded_copy(char* dst, std::string_view src, size_t limit);

// Text up to the first zero byte of s[0, capacity).
inline std::string_view text_before_nul(const char* s, size_t capacity) {
    const void* nul = std::memchr(s, '\0', capacity);
    return std::string_view(s, nul ? static_cast<const char*>(nul) - s : capacity);
}

template <size_t N>
std::string_view field_text(const char (&field)[N]) {
    return text_before_nul(field, N);
}

// Where the refusal message of bounded_copy goes. The default writes to the C
// stdout and flushes; the module routes it through the interpreter's stdout
// so it stays in order with print().
using OverflowReporter = void (*)(size_t limit);
void set_overflow_reporter(OverflowReporter reporter);
void report_overflow(size_t limit);

}  // namespace zelweb
