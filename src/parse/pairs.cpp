// Parameter-list lookups.
#include "parse/pairs.hpp"

namespace zelweb {

std::optional<std::string_view> find_pair_value(std::string_view list, std::string_view separator,
                                                std::string_view key) {
    if (list.empty() || separator.empty()) return std::nullopt;
    size_t start = 0;
    for (;;) {
        size_t end = list.find(separator, start);
        std::string_view pair = list.substr(start, end == list.npos ? list.npos : end - start);
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

}  // namespace zelweb
