// The time as responses and the access log write it, formatted at most once
// a second; safe on any thread, the interpreter lock held or not. A view
// stays valid on its thread until that thread's next call.
#pragma once
#include <string_view>

namespace zelweb {

// "Date: Wed, 09 Dec 2026 10:00:00 GMT\r\n": an origin server's Date line,
// IMF-fixdate.
std::string_view date_line();

// "[09/Dec/2026:10:00:00 +0000]": the Common Log Format's time.
std::string_view log_time();

}  // namespace zelweb
