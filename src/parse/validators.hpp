// A file's validators and the request fields compared with them: the
// entity-tag made from a file's size and modification time, If-Match,
// If-None-Match and If-Range.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelweb {

constexpr size_t etag_capacity = 40;  // '"', 16 hex digits, '-', 16 hex digits, '"'

// A strong entity-tag, quotes included, "<size in hex>-<mtime in ns, hex>",
// written into out[0, etag_capacity); its length. A file rewritten with
// another size or at another nanosecond gets another tag.
size_t format_etag(uint64_t size, int64_t mtime_ns, char* out);

// Whether an If-None-Match value is "*" or a list holding an entity-tag
// that weakly matches `etag` (the opaque tags equal, "W/" prefixes aside).
// A value that is not well formed matches nothing.
bool none_match_holds(std::string_view value, std::string_view etag);

// Whether an If-Match value is "*" or a list holding an entity-tag that
// strongly matches `etag` (a weak one never does). A value that is not well
// formed matches nothing.
bool match_holds(std::string_view value, std::string_view etag);

// Whether an If-Range value lets the range be served: an entity-tag that
// strongly matches `etag` (a weak one never does), or an HTTP-date equal to
// `last_modified`. Anything else does not.
bool if_range_holds(std::string_view value, std::string_view etag, int64_t last_modified,
                    int64_t now);

}  // namespace zelweb
