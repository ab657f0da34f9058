#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "framework/encoding/DateUtil.h"

using calix::DateUtil;

namespace {

// Runs every case under a machine time zone far from UTC, to show that none of it leaks in.
class calix_encoding_DatesInNewYork : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* tz = getenv("TZ")) saved_ = tz;
        setenv("TZ", "America/New_York", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

TEST_F(calix_encoding_DatesInNewYork, ParsesDateAndTimeAsUtc) {
    struct Case {
        const char* text;
        double seconds;
    } cases[] = {
        {"1970-01-02 00:00:00", 86400.0},
        {"1970-01-01 00:00:00", 0.0},
        {"1969-12-31 23:59:59", -1.0},
        {"2024-01-01 07:30:00", 1704094200.0},
        {"2024-07-01 12:00:00", 1719835200.0},  // summer: no daylight shift either
        {"2024-02-29 23:59:59", 1709251199.0},
        {"2023-02-29 00:00:00", 0.0},  // no such day
        {"2024-04-31 00:00:00", 0.0},
        {"2024-13-01 00:00:00", 0.0},
        {"2024-01-01 24:00:00", 0.0},
        {"2024-01-01 23:60:00", 0.0},
        {"2024-01-01 23:59:60", 0.0},
        {"2024-1-01 00:00:00", 0.0},
        {"2024-01-01T00:00:00", 0.0},
        {" 2024-01-01 00:00:00", 0.0},
        {"2024-01-01 00:00:00 ", 0.0},
        {"2024-01-01 00:00:00Z", 0.0},
        {"2024-01-01", 0.0},
        {"", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(date::timeIntervalFromDateStringYMD_HMS(c.text), c.seconds) << c.text;
        EXPECT_EQ(DateUtil::timeIntervalFromDateStringYMD_HMS(c.text), c.seconds) << c.text;
    }
}

TEST_F(calix_encoding_DatesInNewYork, ParsesDayAsUtcMidnight) {
    struct Case {
        const char* text;
        std::optional<double> date;
    } cases[] = {
        {"1970-01-02", 86400.0},
        {"1969-12-31", -86400.0},
        {"2000-02-29", 951782400.0},
        {"9999-12-31", 253402214400.0},
        {"0001-01-01", -62135596800.0},
        {"0000-01-01", std::nullopt},
        {"1900-02-29", std::nullopt},
        {"2024-00-10", std::nullopt},
        {"2024-01-00", std::nullopt},
        {"2024/01/01", std::nullopt},
        {"2024-01-01 00:00:00", std::nullopt},
        {"+024-01-01", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(date::dateFromDateString_YMD(c.text), c.date) << c.text;
        EXPECT_EQ(DateUtil::dateFromDateString_YMD(c.text), c.date) << c.text;
    }
}

TEST_F(calix_encoding_DatesInNewYork, IntervalPicksThePatternByShape) {
    struct Case {
        const char* text;
        double seconds;
    } cases[] = {
        {"1970-01-02", 86400.0},
        {"1970-01-02 08:00:00", 115200.0},
        {"1970-01-02 08:00", 0.0},      // looks like date and time but does not match
        {"1970-01-02 later", 0.0},      // no ":" in the second part: read as a day, which fails
        {"1970-01-02  08:00:00", 0.0},  // empty second part
        {"nonsense", 0.0},
        {"", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(date::timeIntervalFromDateString_YMD(c.text), c.seconds) << c.text;
        EXPECT_EQ(DateUtil::timeIntervalFromDateString_YMD(c.text), c.seconds) << c.text;
    }
}

TEST_F(calix_encoding_DatesInNewYork, FormatsInUtc) {
    struct Case {
        std::optional<double> date;
        std::optional<std::string> day;
        std::optional<std::string> dayAndTime;
    } cases[] = {
        {86399.0, "1970-01-01", "1970-01-01 23:59:59"},
        {0.0, "1970-01-01", "1970-01-01 00:00:00"},
        {-0.5, "1969-12-31", "1969-12-31 23:59:59"},  // fraction dropped towards the past
        {1704065400.75, "2023-12-31", "2023-12-31 23:30:00"},
        {1719835200.0, "2024-07-01", "2024-07-01 12:00:00"},
        {253402300799.0, "9999-12-31", "9999-12-31 23:59:59"},
        {253402300800.0, std::nullopt, std::nullopt},  // year 10000
        {-62135596801.0, std::nullopt, std::nullopt},  // year 0
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nan(""), std::nullopt, std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt, std::nullopt},
        {1e300, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string label = c.date ? std::to_string(*c.date) : "missing";
        EXPECT_EQ(date::dateStringFromDate(c.date), c.day) << label;
        EXPECT_EQ(DateUtil::dateStringFromDate(c.date), c.day) << label;
        EXPECT_EQ(date::dateStringFromDateYMD_HMS(c.date), c.dayAndTime) << label;
        EXPECT_EQ(DateUtil::dateStringFromDateYMD_HMS(c.date), c.dayAndTime) << label;
    }
}

TEST_F(calix_encoding_DatesInNewYork, FormattedTextParsesBackToTheSameSecond) {
    for (double t = -2208988800.0; t < 4102444800.0; t += 7777777.7) {
        const auto text = date::dateStringFromDateYMD_HMS(t);
        ASSERT_TRUE(text);
        EXPECT_EQ(date::timeIntervalFromDateStringYMD_HMS(*text), std::floor(t)) << *text;
        EXPECT_EQ(date::dateFromDateString_YMD(*date::dateStringFromDate(t)), std::floor(t / 86400) * 86400)
            << *text;
    }
}

TEST_F(calix_encoding_DatesInNewYork, CurrentTimeIsReadInUtcPlus8) {
    struct Case {
        double now;
        const char* text;
        double interval;
    } cases[] = {
        {1704065400.0, "2024-01-01 07:30:00", 1704094200.0},  // 23:30 UTC on 31 Dec 2023
        {0.0, "1970-01-01 08:00:00", 28800.0},
        {1719835200.9, "2024-07-01 20:00:00", 1719864000.0},
        {-28800.0, "1970-01-01 00:00:00", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(date::currentDateString(c.now), c.text) << c.now;
        EXPECT_EQ(date::currentDate(c.now), c.interval) << c.now;
        EXPECT_EQ(date::timeIntervalFromCurrentDate(c.now), c.interval) << c.now;
        // A deadline written as UTC+8 wall-clock text compares directly with "now".
        EXPECT_EQ(date::timeIntervalFromDateStringYMD_HMS(c.text), c.interval) << c.now;
    }
}

TEST_F(calix_encoding_DatesInNewYork, CurrentTimeFollowsTheSystemClock) {
    const auto seconds = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const double before = std::floor(seconds());
    const double current = date::timeIntervalFromCurrentDate();
    const double text = date::timeIntervalFromDateStringYMD_HMS(date::currentDateString());
    const double after = seconds();
    for (const double v : {current, text, date::currentDate()}) {
        EXPECT_GE(v, before + 28800.0);
        EXPECT_LE(v, after + 28800.0 + 1.0);
    }
}

}  // namespace
