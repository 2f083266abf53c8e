// The response whose body is the file chosen with c_file.
#pragma once
#include <string_view>

#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// Sends it, its head composed now from the open file's size and
// modification time: ETag, Last-Modified and Accept-Ranges, and for the 200
// the application left, the answer to the request's conditional and Range
// fields (304, 206 with Content-Range, 416 with "bytes */size"). `lines`
// follow the server line. A HEAD, a 304 and a 416 get the head alone. False
// with an error set when it could not be sent whole.
bool send_chosen_file(Connection& c, const HttpObject* http, std::string_view lines);

}  // namespace zelweb
