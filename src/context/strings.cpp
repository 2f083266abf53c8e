// cut and bounded_copy.
#include "context/strings.hpp"

#include <cstdio>
#include <cstring>

namespace zelweb {

char* cut(char** cursor, std::string_view delim) {
    char* text = *cursor;
    if (!text) return nullptr;
    std::string_view rest(text);
    size_t at = delim.empty()        ? rest.npos
                : delim.size() == 1 ? rest.find(delim[0])
                                    : rest.find(delim);
    if (at == rest.npos) {
        *cursor = nullptr;
        return text;
    }
    text[at] = '\0';
    *cursor = text + at + delim.size();
    return text;
}

namespace {

void report_to_stdout(size_t limit) {
    std::printf("size of data must: %d", static_cast<int>(limit));
    // A server's stdout is usually a pipe: never leave the message buffered.
    std::fflush(stdout);
}

OverflowReporter overflow_reporter = report_to_stdout;

}  // namespace

void set_overflow_reporter(OverflowReporter reporter) {
    overflow_reporter = reporter ? reporter : report_to_stdout;
}

void report_overflow(size_t limit) { overflow_reporter(limit); }

bool bounded_copy(char* dst, std::string_view src, size_t limit) {
    if (src.size() < limit) {
        if (!src.empty()) std::memmove(dst, src.data(), src.size());
        dst[src.size()] = '\0';
        return true;
    }
    report_overflow(limit);
    return false;
}

}  // namespace zelweb
