#include "DateUtil.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace date {

namespace {

// Reads exactly `count` decimal digits at text[pos].
std::optional<int> digits(std::string_view text, size_t pos, size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// 00:00:00 UTC of the given day; nothing unless it is a real day (no 31 April, no 29 February
// outside leap years).
std::optional<double> dayStart(int year, int month, int day) {
    if (year < 1 || month < 1 || month > 12 || day < 1) return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    const time_t t = timegm(&tm);
    // timegm normalises out-of-range days into the next month; a changed field means the date was invalid.
    if (tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day) return std::nullopt;
    return static_cast<double>(t);
}

std::optional<double> parseYMD(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto y = digits(text, 0, 4), m = digits(text, 5, 2), d = digits(text, 8, 2);
    if (!y || !m || !d) return std::nullopt;
    return dayStart(*y, *m, *d);
}

std::optional<double> parseYMD_HMS(std::string_view text) {
    if (text.size() != 19 || text[10] != ' ' || text[13] != ':' || text[16] != ':') return std::nullopt;
    const auto day = parseYMD(text.substr(0, 10));
    const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!day || !h || !mi || !s) return std::nullopt;
    if (*h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    return *day + *h * 3600.0 + *mi * 60.0 + *s;
}

// Breaks a date into UTC fields, whole seconds rounded down; nothing outside the years 0001-9999.
std::optional<std::tm> toFields(double seconds) {
    // Beyond this range the year cannot have four digits anyway; the check also keeps the cast defined.
    constexpr double kLimit = 400000.0 * 365 * 86400;
    if (!std::isfinite(seconds) || std::fabs(seconds) > kLimit) return std::nullopt;
    const time_t t = static_cast<time_t>(std::floor(seconds));
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return std::nullopt;
    const int year = tm.tm_year + 1900;
    if (year < 1 || year > 9999) return std::nullopt;
    return tm;
}

std::string formatYMD_HMS(const std::tm& tm) {
    char buf[80];  // room for any int fields, though only four-digit years get here
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::optional<double> dateFromDateString_YMD(std::string_view text) {
    return parseYMD(text);
}

double timeIntervalFromDateString_YMD(std::string_view text) {
    // Same shape test as splitting at " " and then the second part at ":".
    const size_t blank = text.find(' ');
    if (blank != std::string_view::npos) {
        const std::string_view second = text.substr(blank + 1, text.find(' ', blank + 1) - (blank + 1));
        if (second.find(':') != std::string_view::npos) return timeIntervalFromDateStringYMD_HMS(text);
    }
    return parseYMD(text).value_or(0.0);
}

double timeIntervalFromDateStringYMD_HMS(std::string_view text) {
    return parseYMD_HMS(text).value_or(0.0);
}

std::optional<std::string> dateStringFromDate(std::optional<double> date) {
    if (!date) return std::nullopt;
    const auto tm = toFields(*date);
    if (!tm) return std::nullopt;
    return formatYMD_HMS(*tm).substr(0, 10);
}

std::optional<std::string> dateStringFromDateYMD_HMS(std::optional<double> date) {
    if (!date) return std::nullopt;
    const auto tm = toFields(*date);
    if (!tm) return std::nullopt;
    return formatYMD_HMS(*tm);
}

std::string currentDateString() {
    return currentDateString(systemNow());
}

std::string currentDateString(double now) {
    return dateStringFromDateYMD_HMS(now + kUtcPlus8Offset).value_or("");
}

double currentDate() {
    return currentDate(systemNow());
}

double currentDate(double now) {
    return std::floor(now) + kUtcPlus8Offset;
}

double timeIntervalFromCurrentDate() {
    return currentDate();
}

double timeIntervalFromCurrentDate(double now) {
    return currentDate(now);
}

}  // namespace date
