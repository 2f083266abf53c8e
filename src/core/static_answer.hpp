// The answer to a GET or HEAD under a static folder: which file, which of
// its codings, which part, and the response head, planned without the
// interpreter; then sent without waiting, the rest left to the core.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/file_descriptor.hpp"
#include "core/output.hpp"
#include "core/static_site.hpp"
#include "parse/limits.hpp"

namespace zelweb {

// The buffer an answer is planned in: a head (a Location may echo the whole
// target) and a body small enough to go in the head's send.
constexpr size_t static_answer_capacity = head_capacity + 1024 + inline_file_limit;

struct StaticRequest {
    std::string_view head;       // a whole head, leading blank lines dropped, its end included
    size_t following = 0;        // bytes received after the head
    bool keep_allowed = true;    // the server keeps connections (keep_alive > 0, not stopping)
    std::string_view date_line;  // "Date: ...\r\n"
    int64_t now = 0;             // seconds since the epoch
};

struct StaticAnswer {
    unsigned status = 0;
    std::string_view request_line;  // for the access log
    bool close = false;             // the connection ends after it
    size_t consumed = 0;            // the head and the body bytes of it that had come
    uint64_t unread_body = 0;       // body bytes still to come: drained before the close
    uint64_t body_bytes = 0;        // the body planned, for the access log

    // First bytes[0, size): the head, and a small body after it; then
    // file_count bytes of `file` from file_offset. The answer owns `file`.
    const char* bytes = nullptr;
    size_t size = 0;
    Descriptor file;
    uint64_t file_offset = 0, file_count = 0;

    void clear() {
        file.reset();
        status = 0;
        request_line = {};
        close = false;
        consumed = 0;
        unread_body = body_bytes = 0;
        bytes = nullptr;
        size = 0;
        file_offset = file_count = 0;
    }
};

// Whether `head` asks for a file of `site`: a head the strict reader takes,
// a GET or HEAD, a path under a prefix. Cheap when it is not.
bool is_static_request(const StaticSite& site, std::string_view head);

// The cheap part of it: a GET or HEAD whose target starts under a prefix
// (an absolute-form target may). True for some heads that are not static
// requests; false for none that are.
bool may_be_static(const StaticSite& site, std::string_view head);

// Plans the answer to a static request in buffer[0, static_answer_capacity)
// (which the answer's bytes then point into); false, with nothing done,
// when the request is not one.
//
// Paths the folder refuses or does not hold get 404, a directory named
// without its trailing "/" a 301 to that form, a directory its index.html,
// a file that is not regular 404; a failure to open for want of
// descriptors or memory 503, any other 500. A regular file gets the rules
// of answer_file_request, with ETag, Last-Modified, Accept-Ranges,
// Cache-Control when the site has a max-age, and its NAME.br or NAME.gz
// (with Content-Encoding) when the request accepts that coding more than,
// or as much as, the file itself (br before gzip); Vary: Accept-Encoding
// whenever either exists. The server's own answers are text/plain.
bool plan_static_answer(const StaticSite& site, const StaticRequest& request, char* buffer,
                        StaticAnswer& out);

// Sends what the socket takes now, without waiting: what is left goes to
// `rest` (which then owns the file). False when the peer has gone or
// memory ran out: the connection must end. A file that ended early sets
// the answer's `close`.
bool send_static_answer(int socket, StaticAnswer& answer, Output& rest);

}  // namespace zelweb
