// Parameter-list lookups.
#include "context/lookup.hpp"

namespace zelweb {

std::optional<std::string_view> find_pair_value(std::string_view list, std::string_view separator,
                                                std::string_view key) {
    if (list.empty() || separator.empty()) return std::nullopt;
    size_t start = 0;
    for (;;) {
        size_t end = list.find(separator, start);
        std::string_view pair =
            list.substr(start, end == list.npos ? list.npos : end - start);
        size_t eq = pair.find('=');
        std::string_view name = pair.substr(0, eq);
        if (name == key) {
            if (eq == pair.npos) return std::string_view();
            std::string_view rest = pair.substr(eq + 1);
            return rest.substr(0, rest.find('='));
        }
        if (end == list.npos) return std::nullopt;
        start = end + separator.size();
    }
}

TargetSplit split_target(std::string_view target) {
    size_t q = target.find('?');
    if (q == target.npos) return {target, std::nullopt};
    std::string_view rest = target.substr(q + 1);
    return {target.substr(0, q), rest.substr(0, rest.find('?'))};
}

bool needs_decoding(std::string_view value) {
    for (unsigned char c : value)
        if (c == '%' || c == '+' || c >= 0x80) return true;
    return false;
}

}  // namespace zelweb
