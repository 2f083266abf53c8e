// The request target split.
#include "parse/target.hpp"

namespace zelweb {

TargetSplit split_target(std::string_view target) {
    size_t q = target.find('?');
    if (q == target.npos) return {target, std::nullopt};
    std::string_view rest = target.substr(q + 1);
    return {target.substr(0, q), rest.substr(0, rest.find('?'))};
}

}  // namespace zelweb
