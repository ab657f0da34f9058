#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/encoding/UrlEncode.h"

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// The bytes before the terminating zero that urlencode/urldecode append.
std::string textBeforeTerminator(const std::vector<uint8_t>& buf) {
    EXPECT_FALSE(buf.empty());
    EXPECT_EQ(buf.back(), 0);
    return std::string(buf.begin(), buf.end() - 1);
}

TEST(calix_encoding_UrlCodec, EncodesEverythingButLettersAndDigits) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"a b", "a%20b"},
        {"", ""},
        {"AZaz09", "AZaz09"},
        {"-._~", "%2D%2E%5F%7E"},
        {std::string("\x00\xff\x7f", 3), "%00%FF%7F"},
        {"100%", "100%25"},
    };
    for (const auto& c : cases) {
        size_t length = 0;
        const auto buf = UrlEncode::urlencode(bytes(c.in), &length);
        EXPECT_EQ(textBeforeTerminator(buf), c.out) << c.in;
        EXPECT_EQ(length, c.out.size() + 1) << c.in;
        EXPECT_EQ(buf.size(), length);
    }
    EXPECT_EQ(UrlEncode::urlencode(bytes("x y"), nullptr).size(), 6u);
}

TEST(calix_encoding_UrlCodec, DecodesOnlyCompleteEscapes) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"%41%42c", "ABc"},
        {"ab%4", "ab%4"},
        {"%zz1", "%zz1"},
        {"a+b", "a+b"},
        {"%4a%4A", "JJ"},
        {"%%41", "%A"},
        {"%41", "A"},
        {"%4", "%4"},
        {"%", "%"},
        {"", ""},
        {"x%00y", std::string("x\0y", 3)},
        {"%G1%1G", "%G1%1G"},
    };
    for (const auto& c : cases) {
        size_t len = 0;
        const auto buf = UrlEncode::urldecode(c.in, &len);
        EXPECT_EQ(textBeforeTerminator(buf), c.out) << c.in;
        EXPECT_EQ(len, c.out.size() + 1) << c.in;
    }
}

TEST(calix_encoding_UrlCodec, DecodeUndoesEncodeForEveryByte) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    size_t encodedLength = 0;
    const auto encoded = UrlEncode::urlencode(all, &encodedLength);
    const std::string text(encoded.begin(), encoded.begin() + (encodedLength - 1));
    size_t decodedLength = 0;
    auto decoded = UrlEncode::urldecode(text, &decodedLength);
    ASSERT_EQ(decodedLength, 257u);
    decoded.pop_back();
    EXPECT_EQ(decoded, all);
}

TEST(calix_encoding_UrlCodec, StringEncodingEscapesReservedCharactersAndUtf8) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"a b", "a%20b"},
        {"!*'();:@$=+&,/?%[]#", "%21%2A%27%28%29%3B%3A%40%24%3D%2B%26%2C%2F%3F%25%5B%5D%23"},
        {"-._~AZaz09", "-._~AZaz09"},
        {"\xc3\xa9", "%C3%A9"},
        {"k=v&x=1 2", "k%3Dv%26x%3D1%202"},
        {"", ""},
        {"\xff", ""},          // not UTF-8
        {"ok\xc3", ""},        // truncated sequence
        {"\xed\xa0\x80", ""},  // encoded surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(UrlEncode::stringURLEncode(c.in), c.out) << c.in;
}

TEST(calix_encoding_HexText, ConvertsBothWays) {
    EXPECT_EQ(UrlEncode::convertDataToHexStr(std::vector<uint8_t>{0x0A, 0xFF}), "0aff");
    EXPECT_EQ(UrlEncode::convertDataToHexStr(std::vector<uint8_t>{0x00, 0x10, 0x9b}), "00109b");
    EXPECT_EQ(UrlEncode::convertDataToHexStr({}), "");

    struct Case {
        std::string in;
        std::vector<uint8_t> out;
    } cases[] = {
        {"0aff", {0x0A, 0xFF}},
        {"0AFF", {0x0A, 0xFF}},
        {"0af", {0x0A}},   // odd last character ignored
        {"zz0a", {0x0A}},  // a pair that is not hex adds nothing
        {"1z0a", {0x0A}},
        {"", {}},
        {"1", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UrlEncode::stringFromHexString(c.in), c.out) << c.in;
}

}  // namespace
