// One line per request: the Common Log Format and the time taken.
#pragma once
#include <Python.h>

#include <chrono>
#include <string_view>

namespace zelweb {

// `host - - [time] "request line" status bytes microseconds`, written with
// `log`'s write (Py_True: standard error). A log that fails is reported.
void write_access_log(PyObject* log, std::string_view host, std::string_view request_line,
                      int status, unsigned long long bytes,
                      std::chrono::steady_clock::time_point began);

}  // namespace zelweb
