// The server's own responses.
#include "connection/own_response.hpp"

#include <cstdio>

#include "connection/clock.hpp"

namespace zelweb {

long send_own_response(Channel& channel, const OwnResponse& r) {
    char text[512];
    std::string_view date = date_line();
    int n = std::snprintf(text, sizeof text,
                          "HTTP/1.1 %d %.*s\r\nserver: Tovrel\r\nConnection: close\r\n%.*s"
                          "Content-Type: text/plain\r\nContent-Length: %zu\r\n\r\n%.*s\n",
                          r.status, static_cast<int>(r.reason.size()), r.reason.data(),
                          static_cast<int>(date.size()), date.data(), r.reason.size() + 1,
                          static_cast<int>(r.reason.size()), r.reason.data());
    if (!channel.send(text, static_cast<size_t>(n))) return -1;
    return static_cast<long>(r.reason.size() + 1);
}

}  // namespace zelweb
