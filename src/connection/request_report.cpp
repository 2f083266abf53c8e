// Reports that name a request.
#include "connection/request_report.hpp"

#include <Python.h>

#include <algorithm>

#include "py/ref.hpp"
#include "py/report.hpp"

namespace zelweb {

void report_request(const RequestHead& head, const char* what) {
    print_error_line("zelweb: %s for %.*s %.*s\n", what, static_cast<int>(head.method.size()),
                     head.method.data(),
                     static_cast<int>(std::min<size_t>(head.target.size(), 900)),
                     head.target.data());
}

void report_request_error(const RequestHead& head, const char* what) {
    SavedError error;
    report_request(head, what);
    if (!error.empty()) PyErr_Display(error.type(), error.value(), error.traceback());
}

}  // namespace zelweb
