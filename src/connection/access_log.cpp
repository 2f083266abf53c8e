// The access log line.
#include "connection/access_log.hpp"

#include <cstdio>

#include "connection/clock.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {
constexpr size_t request_line_shown = 2000;  // a longer one is cut in the log
}

void write_access_log(PyObject* log, std::string_view host, std::string_view request_line,
                      int status, unsigned long long bytes,
                      std::chrono::steady_clock::time_point began) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - began)
                      .count();
    if (request_line.size() > request_line_shown)
        request_line = request_line.substr(0, request_line_shown);
    std::string_view time = log_time();
    char size[24] = "-";
    if (bytes) std::snprintf(size, sizeof size, "%llu", bytes);
    char line[request_line_shown + 256];
    int n = std::snprintf(line, sizeof line, "%.*s - - %.*s \"%.*s\" %d %s %lld\n",
                          static_cast<int>(host.size()), host.data(), static_cast<int>(time.size()),
                          time.data(), static_cast<int>(request_line.size()), request_line.data(),
                          status, size, static_cast<long long>(micros));
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    // Latin-1: any byte of a request line is text, none is lost.
    Ref text = Ref::steal(PyUnicode_DecodeLatin1(line, static_cast<Py_ssize_t>(length), nullptr));
    Ref target = log == Py_True ? standard_stream("stderr") : Ref::incref(log);
    if (text && target && target.get() != Py_None && call_method(target.get(), names.write, text.get()))
        return;
    report_ignored_in("zelweb.serve");
}

}  // namespace zelweb
