// Slow models the native tests and the fuzz targets compare the parsers with.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cut.hpp"

namespace zelweb_test {

// strtoul with base 10 and a 32-bit unsigned long: white space of the C
// locale, a sign, digits; a magnitude out of range gives the maximum
// whatever the sign.
struct StrtoulModel {
    uint32_t value;
};
inline StrtoulModel strtoul32(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\v' ||
                            s[i] == '\f' || s[i] == '\r'))
        ++i;
    bool minus = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) minus = s[i++] == '-';
    size_t first = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == first) return {0};
    std::string_view digits = s.substr(first, i - first);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    bool out_of_range = digits.size() > 10 || (digits.size() == 10 && digits > "4294967295");
    if (out_of_range) return {UINT32_MAX};
    uint32_t v = static_cast<uint32_t>(std::stoull(std::string(digits)));
    return {minus ? 0u - v : v};
}

// The lookup as the record's own primitive walks it: cut at the separator,
// then the name at "=", then the value at the next "=".
inline std::optional<std::string> lookup_by_cut(std::string list, const std::string& separator,
                                                const std::string& key) {
    if (list.empty()) return std::nullopt;
    char* cursor = list.data();
    while (char* pair = zelweb_test::cut(&cursor, separator)) {
        char* rest = pair;
        char* name = zelweb_test::cut(&rest, "=");
        if (key == name) {
            char* value = zelweb_test::cut(&rest, "=");
            return value ? std::string(value) : std::string();
        }
    }
    return std::nullopt;
}

inline std::string_view before_nul(std::string_view s) { return s.substr(0, s.find('\0')); }

}  // namespace zelweb_test
