// HTTP dates: the one form a server sends (IMF-fixdate) and the three forms
// a recipient reads (IMF-fixdate, RFC 850, asctime).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zelweb {

constexpr size_t http_date_size = 29;  // "Sun, 06 Nov 1994 08:49:37 GMT"

// Writes `seconds` since the epoch as an IMF-fixdate into out[0, 29), in
// GMT, with English names whatever the locale. Times before the year 0 or
// after 9999 are written as the first or last second of that range.
void format_http_date(int64_t seconds, char* out);

// Seconds since the epoch of an HTTP-date in any of its three forms, exactly
// as the grammar writes them (names in their case, single spaces, fields of
// their width, "GMT"), with a day of the month that exists; nullopt for
// anything else. The day name must be one of the seven but is not checked
// against the date. An RFC 850 date's two-digit year is taken in the century
// that puts it within 50 years of `now`.
std::optional<int64_t> parse_http_date(std::string_view text, int64_t now);

}  // namespace zelweb
