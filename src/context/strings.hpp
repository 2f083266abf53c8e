// The two string primitives every parser and setter rests on.
#pragma once
#include <cstddef>
#include <cstring>
#include <string_view>

namespace zelweb {

// Splits a writable NUL-terminated text in place: returns the text before the
// first occurrence of `delim`, ends it there with a zero byte and moves
// *cursor past the occurrence. Without a match (or with an empty delimiter)
// returns the rest and sets *cursor to null; a null cursor yields null.
char* cut(char** cursor, std::string_view delim);

// Copies `src` and a terminator into `dst` only when src.size() < limit;
// otherwise reports "size of data must: <limit>" and leaves `dst` unchanged.
// Returns whether the copy was made.
bool bounded_copy(char* dst, std::string_view src, size_t limit);

// Text up to the first zero byte, as the record's fields are read.
inline std::string_view c_text(const char* s, size_t capacity) {
    const void* nul = std::memchr(s, '\0', capacity);
    return std::string_view(s, nul ? static_cast<const char*>(nul) - s : capacity);
}

template <size_t N>
std::string_view field_text(const char (&field)[N]) {
    return c_text(field, N);
}

// Where the refusal message of bounded_copy goes. The default writes to the C
// stdout and flushes; the module routes it through the interpreter's stdout
// so it stays in order with print().
using OverflowReporter = void (*)(size_t limit);
void set_overflow_reporter(OverflowReporter reporter);
void report_overflow(size_t limit);

}  // namespace zelweb
