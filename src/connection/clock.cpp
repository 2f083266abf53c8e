// The cached time lines. Each thread keeps its own copy of the current
// second's lines, refreshed from a shared one (under a small lock) once a
// second: any thread may ask, the interpreter lock held or not.
#include "connection/clock.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "parse/http_date.hpp"

namespace zelweb {

namespace {

const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Formatted {
    std::time_t second = -1;
    char date[64];
    char log[64];
    int date_size = 0, log_size = 0;
};

void format(Formatted& f, std::time_t t) {
    std::tm g;
    gmtime_r(&t, &g);
    // By hand rather than strftime: the names must not follow the locale.
    std::memcpy(f.date, "Date: ", 6);
    format_http_date(static_cast<int64_t>(t), f.date + 6);
    std::memcpy(f.date + 6 + http_date_size, "\r\n", 2);
    f.date_size = static_cast<int>(6 + http_date_size + 2);
    f.log_size = std::snprintf(f.log, sizeof f.log, "[%02d/%s/%04d:%02d:%02d:%02d +0000]", g.tm_mday,
                               months[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
    f.second = t;
}

std::mutex shared_lock;
Formatted shared;

const Formatted& now() {
    thread_local Formatted mine;
    std::time_t t = std::time(nullptr);
    if (t != mine.second) {
        std::lock_guard<std::mutex> hold(shared_lock);
        if (shared.second < t) format(shared, t);
        mine = shared;
    }
    return mine;
}

}  // namespace

std::string_view date_line() {
    const Formatted& f = now();
    return std::string_view(f.date, static_cast<size_t>(f.date_size));
}

std::string_view log_time() {
    const Formatted& f = now();
    return std::string_view(f.log, static_cast<size_t>(f.log_size));
}

}  // namespace zelweb
