#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/core/TextNumber.h"

TEST(TextNumber, IntegersReadTheLeadingNumberAndSaturate) {
    struct Case {
        const char* text;
        int64_t value;
    } cases[] = {
        {"42", 42},
        {"  -7x", -7},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"3.9", 3},
        {"0x10", 0},
        {"99999999999999999999", std::numeric_limits<int64_t>::max()},
        {"-99999999999999999999", std::numeric_limits<int64_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(textnum::integerValue(c.text), c.value) << c.text;
    EXPECT_EQ(textnum::integerValue("4294967296", INT32_MIN, INT32_MAX), INT32_MAX);
    EXPECT_EQ(textnum::integerValue("-4294967296", INT32_MIN, INT32_MAX), INT32_MIN);
}

TEST(TextNumber, DoublesReadDecimalFormsOnly) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {{"90", 90}, {" 1.5s", 1.5}, {"1e3", 1000}, {"2e", 2},  {"-0.25", -0.25},
                 {"inf", 0}, {"nan", 0},     {"0x10", 0},   {"abc", 0}, {".5", 0.5}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(textnum::doubleValue(c.text), c.value) << c.text;
}
