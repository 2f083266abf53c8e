// The request target split into its path and its query.
#pragma once
#include <optional>
#include <string_view>

namespace zelweb {

struct TargetSplit {
    std::string_view path;                  // before the first "?"
    std::optional<std::string_view> query;  // between the first "?" and a second one, or the end
};
TargetSplit split_target(std::string_view target);

}  // namespace zelweb
