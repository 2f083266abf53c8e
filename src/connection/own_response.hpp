// The responses the server makes itself, when a request cannot reach route.
#pragma once
#include <string_view>

#include "connection/channel.hpp"

namespace zelweb {

struct OwnResponse {
    int status;
    std::string_view reason;  // also the body, with a line end
};

constexpr OwnResponse bad_request{400, "Bad Request"};
constexpr OwnResponse too_large{413, "Content Too Large"};
constexpr OwnResponse uri_too_long{414, "URI Too Long"};
constexpr OwnResponse head_too_large{431, "Request Header Fields Too Large"};
constexpr OwnResponse route_failed{500, "Internal Server Error"};
constexpr OwnResponse not_implemented{501, "Not Implemented"};
constexpr OwnResponse version_not_supported{505, "HTTP Version Not Supported"};

// Sends it with "Connection: close" and the Date line; the count of body
// bytes, or -1 with an error set.
long send_own_response(Channel& channel, const OwnResponse& response);

}  // namespace zelweb
