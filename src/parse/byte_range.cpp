// Range.
#include "parse/byte_range.hpp"

#include "parse/head.hpp"

namespace zelweb {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Digits at s[at], saturating at UINT64_MAX; false when there are none.
bool read_number(std::string_view s, size_t& at, uint64_t& value) {
    size_t start = at;
    value = 0;
    for (; at < s.size() && is_digit(s[at]); ++at) {
        uint64_t digit = static_cast<uint64_t>(s[at] - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return at > start;
}

// One range-spec at s[at]: an int-range "first-[last]" or a suffix-range
// "-length", as the answer it would get alone. False when it is neither.
bool read_range_spec(std::string_view s, size_t& at, uint64_t size, RangeAnswer& one) {
    uint64_t first, last;
    if (at < s.size() && s[at] == '-') {
        ++at;
        if (!read_number(s, at, last)) return false;
        if (last == 0 || size == 0) {
            one = {RangeKind::unsatisfiable, 0, 0};
        } else {
            one = {RangeKind::partial, last >= size ? 0 : size - last, size - 1};
        }
        return true;
    }
    if (!read_number(s, at, first) || at == s.size() || s[at] != '-') return false;
    ++at;
    if (!read_number(s, at, last)) {
        last = UINT64_MAX;
    } else if (last < first) {
        return false;
    }
    if (first >= size) {
        one = {RangeKind::unsatisfiable, 0, 0};
    } else {
        one = {RangeKind::partial, first, last < size ? last : size - 1};
    }
    return true;
}

}  // namespace

RangeAnswer parse_byte_range(std::string_view value, uint64_t size) {
    const RangeAnswer whole;
    constexpr std::string_view unit = "bytes=";
    if (value.size() < unit.size()) return whole;
    for (size_t i = 0; i < unit.size(); ++i)
        if (lower(value[i]) != unit[i]) return whole;
    size_t at = unit.size(), count = 0;
    bool satisfiable = false;
    RangeAnswer first_answer;
    for (;;) {
        // Empty members (", ,") are allowed in a list.
        while (at < value.size() && (is_ows(value[at]) || value[at] == ',')) ++at;
        if (at == value.size()) break;
        RangeAnswer one;
        if (!read_range_spec(value, at, size, one)) return whole;
        if (count++ == 0) first_answer = one;
        satisfiable = satisfiable || one.kind == RangeKind::partial;
        while (at < value.size() && is_ows(value[at])) ++at;
        if (at < value.size() && value[at] != ',') return whole;
    }
    if (count == 0) return whole;
    if (count == 1) return first_answer;
    return satisfiable ? whole : RangeAnswer{RangeKind::unsatisfiable, 0, 0};
}

}  // namespace zelweb
