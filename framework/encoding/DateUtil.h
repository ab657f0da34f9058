// Dates as text in the fixed patterns "yyyy-MM-dd" and "yyyy-MM-dd HH:mm:ss", in UTC, and the current
// time in the fixed zone UTC+8 that log lines and command deadlines use. A date is seconds since
// 1970-01-01 00:00:00 UTC; nothing is an empty optional. Nothing here reads the machine's time zone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace date {

// Offset of the fixed zone UTC+8, which has no daylight saving.
inline constexpr double kUtcPlus8Offset = 28800.0;

// Parses "yyyy-MM-dd" exactly (years 0001-9999): the day's 00:00:00 UTC, or nothing.
std::optional<double> dateFromDateString_YMD(std::string_view text);

// Reads text as "yyyy-MM-dd HH:mm:ss" when its second blank-separated part contains ":", otherwise as
// "yyyy-MM-dd"; seconds since 1970, or 0.0 when the text does not match.
double timeIntervalFromDateString_YMD(std::string_view text);

// Parses "yyyy-MM-dd HH:mm:ss" exactly, read as UTC; 0.0 when the text does not match.
double timeIntervalFromDateStringYMD_HMS(std::string_view text);

// Formats a date in UTC (fractions of a second dropped); nothing for a missing date or one outside the
// years 0001-9999.
std::optional<std::string> dateStringFromDate(std::optional<double> date);
std::optional<std::string> dateStringFromDateYMD_HMS(std::optional<double> date);

// The instant now as "yyyy-MM-dd HH:mm:ss" in UTC+8.
std::string currentDateString();
std::string currentDateString(double now);

// The UTC+8 wall-clock time of now read as if it were UTC: now + 28800 in whole seconds. It compares
// directly with timeIntervalFromDateStringYMD_HMS of a wall-clock text written in UTC+8.
double currentDate();
double currentDate(double now);

// The same value as currentDate.
double timeIntervalFromCurrentDate();
double timeIntervalFromCurrentDate(double now);

}  // namespace date

namespace calix {

class DateUtil {
  public:
    static std::optional<double> dateFromDateString_YMD(std::string_view text) {
        return date::dateFromDateString_YMD(text);
    }
    static double timeIntervalFromDateString_YMD(std::string_view text) {
        return date::timeIntervalFromDateString_YMD(text);
    }
    static double timeIntervalFromDateStringYMD_HMS(std::string_view text) {
        return date::timeIntervalFromDateStringYMD_HMS(text);
    }
    static std::optional<std::string> dateStringFromDate(std::optional<double> d) {
        return date::dateStringFromDate(d);
    }
    static std::optional<std::string> dateStringFromDateYMD_HMS(std::optional<double> d) {
        return date::dateStringFromDateYMD_HMS(d);
    }
};

}  // namespace calix
