// HTTP dates, by calendar arithmetic rather than the C library: no locale,
// no time zone, no range limit of time_t.
#include "parse/http_date.hpp"

namespace zelweb {

namespace {

constexpr std::string_view day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view long_day_names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                               "Thursday", "Friday", "Saturday"};
constexpr std::string_view month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int64_t seconds_per_day = 86400;

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    int64_t year;
    int month, day;
};

Civil civil_from_days(int64_t z) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

bool leap(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int days_in_month(int64_t y, int m) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

void put_digits(char* out, int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

// A reader over the text that fails once anything does not match.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool literal(std::string_view s) {
        if (text_.substr(at_, s.size()) != s) return ok_ = false;
        at_ += s.size();
        return true;
    }
    // Exactly `width` digits.
    int64_t digits(int width) {
        int64_t value = 0;
        for (int i = 0; i < width; ++i) {
            char c = at_ < text_.size() ? text_[at_] : '\0';
            if (c < '0' || c > '9') {
                ok_ = false;
                return 0;
            }
            value = value * 10 + (c - '0');
            ++at_;
        }
        return value;
    }
    // The index of the name found here among `names`, or -1.
    template <size_t N>
    int name(const std::string_view (&names)[N]) {
        for (size_t i = 0; i < N; ++i)
            if (text_.substr(at_, names[i].size()) == names[i]) {
                at_ += names[i].size();
                return static_cast<int>(i);
            }
        ok_ = false;
        return -1;
    }
    bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
    bool done() const { return ok_ && at_ == text_.size(); }
    bool ok() const { return ok_; }

private:
    std::string_view text_;
    size_t at_ = 0;
    bool ok_ = true;
};

struct Fields {
    int64_t year;
    int month, day, hour, minute, second;
};

// "HH:MM:SS"
void read_time(Reader& r, Fields& f) {
    f.hour = static_cast<int>(r.digits(2));
    r.literal(":");
    f.minute = static_cast<int>(r.digits(2));
    r.literal(":");
    f.second = static_cast<int>(r.digits(2));
}

std::optional<int64_t> to_seconds(const Fields& f) {
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > days_in_month(f.year, f.month) ||
        f.hour > 23 || f.minute > 59 || f.second > 60)  // 60: a leap second
        return std::nullopt;
    return days_from_civil(f.year, f.month, f.day) * seconds_per_day + f.hour * 3600 +
           f.minute * 60 + f.second;
}

// Sun, 06 Nov 1994 08:49:37 GMT
std::optional<int64_t> imf_fixdate(std::string_view text) {
    Reader r(text);
    Fields f{};
    r.name(day_names);
    r.literal(", ");
    f.day = static_cast<int>(r.digits(2));
    r.literal(" ");
    f.month = r.name(month_names) + 1;
    r.literal(" ");
    f.year = r.digits(4);
    r.literal(" ");
    read_time(r, f);
    r.literal(" GMT");
    if (!r.done()) return std::nullopt;
    return to_seconds(f);
}

// Sunday, 06-Nov-94 08:49:37 GMT
std::optional<int64_t> rfc850_date(std::string_view text, int64_t now) {
    Reader r(text);
    Fields f{};
    r.name(long_day_names);
    r.literal(", ");
    f.day = static_cast<int>(r.digits(2));
    r.literal("-");
    f.month = r.name(month_names) + 1;
    r.literal("-");
    int64_t two_digits = r.digits(2);
    r.literal(" ");
    read_time(r, f);
    r.literal(" GMT");
    if (!r.done()) return std::nullopt;
    // The year with those last two digits in (this year - 50, this year + 50].
    int64_t this_year = civil_from_days(floor_div(now, seconds_per_day)).year;
    if (this_year < 0) this_year = 0;
    if (this_year > 9999) this_year = 9999;
    f.year = floor_div(this_year, 100) * 100 + two_digits;
    if (f.year > this_year + 50) f.year -= 100;
    if (f.year <= this_year - 50) f.year += 100;
    return to_seconds(f);
}

// Sun Nov  6 08:49:37 1994
std::optional<int64_t> asctime_date(std::string_view text) {
    Reader r(text);
    Fields f{};
    r.name(day_names);
    r.literal(" ");
    f.month = r.name(month_names) + 1;
    r.literal(" ");
    if (r.peek(' ')) {
        r.literal(" ");
        f.day = static_cast<int>(r.digits(1));
    } else {
        f.day = static_cast<int>(r.digits(2));
    }
    r.literal(" ");
    read_time(r, f);
    r.literal(" ");
    f.year = r.digits(4);
    if (!r.done()) return std::nullopt;
    return to_seconds(f);
}

}  // namespace

void format_http_date(int64_t seconds, char* out) {
    const int64_t first = days_from_civil(0, 1, 1) * seconds_per_day;
    const int64_t last = days_from_civil(9999, 12, 31) * seconds_per_day + seconds_per_day - 1;
    if (seconds < first) seconds = first;
    if (seconds > last) seconds = last;
    int64_t days = floor_div(seconds, seconds_per_day);
    int64_t in_day = seconds - days * seconds_per_day;
    Civil c = civil_from_days(days);
    int64_t weekday = (days % 7 + 11) % 7;  // 1970-01-01 was a Thursday
    std::string_view day = day_names[weekday], month = month_names[c.month - 1];
    for (size_t i = 0; i < 3; ++i) out[i] = day[i];
    out[3] = ',';
    out[4] = ' ';
    put_digits(out + 5, c.day, 2);
    out[7] = ' ';
    for (size_t i = 0; i < 3; ++i) out[8 + i] = month[i];
    out[11] = ' ';
    put_digits(out + 12, c.year, 4);
    out[16] = ' ';
    put_digits(out + 17, in_day / 3600, 2);
    out[19] = ':';
    put_digits(out + 20, in_day / 60 % 60, 2);
    out[22] = ':';
    put_digits(out + 23, in_day % 60, 2);
    out[25] = ' ';
    out[26] = 'G';
    out[27] = 'M';
    out[28] = 'T';
}

std::optional<int64_t> parse_http_date(std::string_view text, int64_t now) {
    if (text.size() == http_date_size) return imf_fixdate(text);
    if (text.size() == 24) return asctime_date(text);
    return rfc850_date(text, now);
}

}  // namespace zelweb
