// Lines on standard error about one request of serve, naming it by its
// method and target, whichever interface served it.
#pragma once
#include "parse/request_head.hpp"

namespace zelweb {

// "zelweb: <what> for <method> <target>", the target cut at 900 bytes.
void report_request(const RequestHead& head, const char* what);

// That line, then the traceback of the error set, which is cleared: the
// error reported once, naming the request it failed.
void report_request_error(const RequestHead& head, const char* what);

}  // namespace zelweb
