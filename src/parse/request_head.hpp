// The strict reading of a complete request head: a head that two readers
// could read differently (a request hidden in a header line, a body whose end
// is in doubt) is refused rather than guessed at. The lenient functions of
// head.hpp stay for `start`.
//
// Refused with 400 (bad_request):
//  - a request line other than `method SP target SP HTTP/d.d CRLF`: an extra
//    or missing space, a method that is not a token, a version that is not
//    "HTTP/" digit "." digit, a CONNECT;
//  - a target holding '#' or a control byte (0x00-0x1F, 0x7F); one that is
//    not origin form ("/..."), absolute form ("http://" or "https://", the
//    scheme in any case, then a non-empty authority of host characters
//    without userinfo), or "*" for OPTIONS;
//  - a CR or LF other than a line's CRLF ending, a NUL anywhere, a head that
//    does not end with its first empty line;
//  - a field line starting with a space or tab (a folded line), without a
//    colon, with whitespace before the colon, or with a name that is not a
//    token;
//  - more than one Host line, or a Host value that is not an authority;
//  - a Content-Length value that is not digits alone, or lengths that
//    disagree;
//  - Transfer-Encoding on HTTP/1.0, or beside a Content-Length; its codings
//    (all lines read as one comma-separated list, empty elements skipped)
//    empty, holding `chunked` twice or not last, or a coding that is not a
//    token, or `chunked` with parameters.
// Refused with 505 (version_not_supported): a major version other than 1.
// Refused with 501 (not_implemented): a transfer coding other than `chunked`.
// A 400 found anywhere wins over a 505, and a 505 over a 501, so the order of
// the lines cannot change the answer.
//
// Accepted: bytes above 0x7F in the target and in field values, and control
// bytes other than CR, LF and NUL in field values; a missing Host line;
// HTTP/1.2 and later minor versions, read as 1.
#pragma once
#include <cstddef>
#include <string_view>

#include "parse/framing.hpp"
#include "parse/head.hpp"

namespace zelweb {

// What a strict reading found wrong; each has its own answer.
enum class HeadFault {
    none,
    bad_request,            // 400
    not_implemented,        // 501
    version_not_supported,  // 505
};
enum class TargetForm { origin, absolute, asterisk };

// What the reading found. Every view points into the head read. On a fault
// the fields hold what was read before it: only the verdict counts.
struct RequestHead {
    std::string_view method, target, protocol;  // the request line's three words, as sent
    int minor_version = 1;                      // HTTP/1.<minor>: 0 or 1 (1.2+ counts as 1)
    TargetForm form = TargetForm::origin;
    // Before the first '?': origin form as sent; absolute form its path (when
    // empty, the "/" that ends the scheme's "//"); "*".
    std::string_view path;
    std::string_view query;  // after the first '?', raw, to the end of the target (empty when none)
    bool has_query = false;
    // An absolute-form target's authority, else the Host line's value (trimmed).
    std::string_view host;
    bool has_host = false;
    std::string_view content_type;  // the last Content-Type value (trimmed), empty when none
    // The last User-Agent, Cookie and Auth values (trimmed), empty when none.
    std::string_view user_agent, cookie, auth;
    // none, length or chunked once accepted; unsupported with a 501.
    BodyFraming framing;
    ConnectionOptions connection;  // of every Connection line
    bool expect_continue = false;  // the last Expect line says 100-continue, in any case
    // The field lines after the request line, each with its CRLF, without
    // the final empty line.
    std::string_view fields;
    size_t field_count = 0;
};

// Reads `head` strictly, in one walk over its bytes, filling `out`. `head`
// is a whole head from its request line to its empty line, both included
// (leading blank lines already dropped): the bytes scan_break_run found.
HeadFault read_request_head(std::string_view head, RequestHead& out);

}  // namespace zelweb
