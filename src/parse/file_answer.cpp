// The conditional and range rules of a file response, in the order they
// are evaluated: If-Match, If-Unmodified-Since, If-None-Match,
// If-Modified-Since, then If-Range and Range.
#include "parse/file_answer.hpp"

#include <optional>

#include "parse/byte_range.hpp"
#include "parse/head.hpp"
#include "parse/http_date.hpp"
#include "parse/validators.hpp"

namespace zelweb {

FileAnswer answer_file_request(std::string_view head, std::string_view method,
                               const FileValidators& file, int64_t now) {
    const FileAnswer whole{FileStatus::whole, 0, file.size};
    bool get = method == "GET";
    if (!get && method != "HEAD") return whole;
    bool match_sent = false, match = false, none_match_sent = false, none_match = false;
    std::optional<std::string_view> unmodified_since, modified_since, range, if_range;
    int ranges = 0, if_ranges = 0;
    for_each_header_line(head, true, [&](std::string_view name, std::string_view value) {
        if (header_name_is(name, "If-Match")) {
            match_sent = true;
            match = match || match_holds(value, file.etag);
        } else if (header_name_is(name, "If-Unmodified-Since")) {
            if (!unmodified_since) unmodified_since = value;
        } else if (header_name_is(name, "If-None-Match")) {
            none_match_sent = true;
            none_match = none_match || none_match_holds(value, file.etag);
        } else if (header_name_is(name, "If-Modified-Since")) {
            if (!modified_since) modified_since = value;
        } else if (header_name_is(name, "Range")) {
            ++ranges;
            range = value;
        } else if (header_name_is(name, "If-Range")) {
            ++if_ranges;
            if_range = value;
        }
    });
    const FileAnswer failed{FileStatus::precondition_failed, 0, 0};
    if (match_sent && !match) return failed;
    if (!match_sent && unmodified_since) {
        auto since = parse_http_date(*unmodified_since, now);
        if (since && file.last_modified > *since) return failed;
    }
    if (none_match) return {FileStatus::not_modified, 0, 0};
    if (!none_match_sent && modified_since) {
        auto since = parse_http_date(*modified_since, now);
        if (since && *since <= now && file.last_modified <= *since)
            return {FileStatus::not_modified, 0, 0};
    }
    if (!get || ranges != 1 || if_ranges > 1) return whole;
    if (if_range && !if_range_holds(*if_range, file.etag, file.last_modified, now)) return whole;
    RangeAnswer r = parse_byte_range(*range, file.size);
    switch (r.kind) {
        case RangeKind::whole: return whole;
        case RangeKind::partial: return {FileStatus::partial, r.first, r.last - r.first + 1};
        case RangeKind::unsatisfiable: break;
    }
    return {FileStatus::unsatisfiable, 0, 0};
}

}  // namespace zelweb
