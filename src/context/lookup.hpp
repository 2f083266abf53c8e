// Lookups in parameter lists (query, form, cookie, "Auth") and the request
// target split. Pure functions over bytes; nothing is copied.
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

struct TargetSplit {
    std::string_view path;                  // before the first "?"
    std::optional<std::string_view> query;  // between the first "?" and a second one, or the end
};
TargetSplit split_target(std::string_view target);

// Whether percent-decoding could change `value` ("%" or "+" present, or any
// byte outside ASCII that strict UTF-8 decoding must check).
bool needs_decoding(std::string_view value);

}  // namespace zelweb
