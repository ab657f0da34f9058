// JSON received by the service as archive values: integers stay integers, and an unsigned number
// beyond the signed range keeps its size instead of wrapping into a negative one.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bus/JsonValue.h"

using archive::Array;
using archive::Dictionary;
using archive::Value;

TEST(JsonValueTest, NumbersKeepTheirSignAndSize) {
    const struct {
        const char* json;
        Value expected;
    } cases[] = {
        {"9223372036854775807", Value(int64_t{9223372036854775807})},
        {"9223372036854775808", Value(9223372036854775808.0)},
        {"18446744073709551615", Value(18446744073709551615.0)},
        {"-9223372036854775808", Value(std::numeric_limits<int64_t>::min())},
        {"0", Value(0)},
        {"2.5", Value(2.5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const Value v = bus::archiveValueFromJson(nlohmann::json::parse(c.json));
        EXPECT_EQ(v, c.expected);
        EXPECT_EQ(v.isInteger(), c.expected.isInteger());
    }
}

TEST(JsonValueTest, NestedValuesKeepTheirShape) {
    const auto j = nlohmann::json::parse(R"([{"a": [1, "x", true, null], "b": {}}, -3])");
    const Value expected =
        Array{Value(Dictionary{{"a", Array{Value(1), Value("x"), Value(true), Value(archive::Null{})}},
                               {"b", Dictionary{}}}),
              Value(-3)};
    EXPECT_EQ(bus::archiveValueFromJson(j), expected);
}
