// The bounded copy and where its refusals are reported.
#include "parse/text.hpp"

#include <cstdio>

namespace zelweb {

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
