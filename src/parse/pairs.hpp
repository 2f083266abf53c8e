// Lookups in parameter lists: the query, a form body, "Cookie" and "Auth".
// A pure function over bytes; nothing is copied.
#pragma once
#include <optional>
#include <string_view>

namespace zelweb {

// The value of the first pair in `list` whose raw name equals `key`. Pairs are
// separated by `separator` ("&" or "; "); a name ends at the first "=" and the
// value runs from there to the next "=" or the end of the pair. A matching
// pair without "=" has an empty value. No match: nullopt.
std::optional<std::string_view> find_pair_value(std::string_view list, std::string_view separator,
                                                std::string_view key);

}  // namespace zelweb
