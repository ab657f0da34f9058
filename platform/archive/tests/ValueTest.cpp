#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestSupport.h"
#include "platform/archive/Value.h"

namespace archive {
namespace {

TEST(PlistValue, NumbersConvertLikeNSNumber) {
    struct Case {
        const char* name;
        Value value;
        std::optional<int64_t> integer;
        std::optional<double> real;
        std::optional<bool> boolean;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"integer", Value(-42), -42, -42.0, true},
        {"zero", Value(0), 0, 0.0, false},
        {"int64 max", Value(std::numeric_limits<int64_t>::max()), std::numeric_limits<int64_t>::max(),
         9223372036854775807.0, true},
        {"real truncates toward zero", Value(-2.75), -2, -2.75, true},
        {"real fraction is true", Value(0.25), 0, 0.25, true},
        {"huge real saturates", Value(1e300), std::numeric_limits<int64_t>::max(), 1e300, true},
        {"negative huge real saturates", Value(-1e300), std::numeric_limits<int64_t>::min(), -1e300, true},
        {"bool", Value(true), 1, 1.0, true},
        {"string is no number", Value("12"), std::nullopt, std::nullopt, std::nullopt},
        {"null is no number", Value(Null{}), std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value.integer(), c.integer);
        EXPECT_EQ(c.value.real(), c.real);
        EXPECT_EQ(c.value.boolean(), c.boolean);
    }
    Value n(nan);
    EXPECT_FALSE(n.integer().has_value());
    EXPECT_TRUE(std::isnan(*n.real()));
}

TEST(PlistValue, TypedAccessAnswersOnlyForItsOwnType) {
    Value dict(Dictionary{{"a", Value(Array{1, 2})}, {"s", "text"}});
    ASSERT_NE(dict.find("a"), nullptr);
    EXPECT_EQ(dict.find("a")->array()->size(), 2u);
    EXPECT_EQ(*dict.find("s")->string(), "text");
    EXPECT_EQ(dict.find("missing"), nullptr);
    EXPECT_EQ(dict.find("s")->find("x"), nullptr);  // not a dictionary
    EXPECT_EQ(dict.find("s")->data(), nullptr);
    EXPECT_EQ(dict.find("s")->object(), nullptr);
    EXPECT_FALSE(dict.find("s")->date().has_value());

    auto shared = std::make_shared<const Object>(Object{"ZemRecord", {{"id", 7}}});
    Value obj(shared);
    EXPECT_EQ(obj.sharedObject(), shared);
    EXPECT_EQ(obj.object()->className, "ZemRecord");
}

TEST(PlistValue, EqualityIsStrictAboutTypesAndDeepForObjects) {
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value(true), Value(1));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_EQ(Value(Null{}), Value());
    EXPECT_EQ(Value(Array{1, "a", Dictionary{{"k", Data{0, 1}}}}),
              Value(Array{1, "a", Dictionary{{"k", Data{0, 1}}}}));
    EXPECT_NE(Value(Array{1, 2}), Value(Array{2, 1}));
    // Two instances with the same content are equal; a different field is not.
    EXPECT_EQ(Value(Object{"R", {{"a", 1}}}), Value(Object{"R", {{"a", 1}}}));
    EXPECT_NE(Value(Object{"R", {{"a", 1}}}), Value(Object{"R", {{"a", 2}}}));
    EXPECT_NE(Value(Object{"R", {{"a", 1}}}), Value(Object{"S", {{"a", 1}}}));
    EXPECT_NE(Value(std::shared_ptr<const Object>()), Value(Object{"R", {}}));
    EXPECT_EQ(Value(std::shared_ptr<const Object>()), Value(std::shared_ptr<const Object>()));
}

}  // namespace
}  // namespace archive
