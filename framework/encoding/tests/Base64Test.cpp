#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "framework/encoding/Base64.h"

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

std::vector<std::string> splitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        const size_t end = text.find("\r\n", pos);
        lines.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) return lines;
        pos = end + 2;
    }
}

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

TEST(calix_encoding_Base64Codec, MatchesRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Base64::base64EncodedString(bytes(plain)), encoded);
        EXPECT_EQ(Base64::base64EncodedString(plain), encoded);
        EXPECT_EQ(Base64::base64EncodedStringWithWrapWidth(bytes(plain), 64), encoded);
        EXPECT_EQ(Base64::dataWithBase64EncodedString(encoded), bytes(plain)) << encoded;
        EXPECT_EQ(Base64::base64DecodedString(encoded), plain) << encoded;
    }
    EXPECT_EQ(Base64::base64EncodedString(std::vector<uint8_t>{}), "");
    EXPECT_FALSE(Base64::base64EncodedStringWithWrapWidth(std::vector<uint8_t>{}, 64));
    EXPECT_FALSE(Base64::base64EncodedStringWithWrapWidth(std::string_view(""), 0));
}

TEST(calix_encoding_Base64Codec, WrapsIntoCrLfLinesOfWholeGroups) {
    struct Case {
        size_t dataBytes;
        unsigned width;
        std::vector<size_t> lineLengths;
    } cases[] = {
        {100, 64, {64, 64, 8}},  // 136 characters
        {96, 64, {64, 64}},      // exactly two full lines: no break after the last
        {48, 64, {64}},         {114, 76, {76, 76}},
        {115, 76, {76, 76, 4}}, {18, 10, {8, 8, 8}},  // width rounded down to 8
        {18, 0, {24}},          {18, 3, {24}},        // rounds to 0: no breaks
        {18, 24, {24}},                               // not smaller than the text
        {18, 25, {24}},         {18, 4, {4, 4, 4, 4, 4, 4}},
    };
    for (const auto& c : cases) {
        const auto data = randomBytes(c.dataBytes, static_cast<unsigned>(c.dataBytes));
        const auto text = Base64::base64EncodedStringWithWrapWidth(data, c.width);
        ASSERT_TRUE(text);
        std::vector<size_t> lengths;
        for (const auto& line : splitCrLf(*text)) lengths.push_back(line.size());
        EXPECT_EQ(lengths, c.lineLengths) << c.dataBytes << " bytes, width " << c.width;
        EXPECT_EQ(text->find('\n', 0) == std::string::npos, c.lineLengths.size() == 1);
        EXPECT_EQ(Base64::dataWithBase64EncodedString(*text), data) << "width " << c.width;
    }
}

TEST(calix_encoding_Base64Codec, TextOverloadEncodesTheBytesOfTheText) {
    const std::string text(100, 'x');
    EXPECT_EQ(Base64::base64EncodedStringWithWrapWidth(text, 64),
              Base64::base64EncodedStringWithWrapWidth(bytes(text), 64));
}

TEST(calix_encoding_Base64Codec, DecodingSkipsCharactersOutsideTheAlphabet) {
    const std::pair<std::string, std::string> cases[] = {
        {"Zm9v\r\nYmFy", "foobar"}, {"Zm9v\nYmFy\n", "foobar"}, {" Zm9v YmFy ", "foobar"}, {"Z*m*9*v", "foo"},
        {"Zm9vYg==\r\n", "foob"},   {"Zm9vYg=\r\n=", "foob"},   {"\t-Zm8=_", "fo"},
    };
    for (const auto& [text, plain] : cases) EXPECT_EQ(Base64::base64DecodedData(text), bytes(plain)) << text;

    // A long value as the system writes it decodes back unchanged.
    const auto data = randomBytes(5000, 7);
    EXPECT_EQ(Base64::dataWithBase64EncodedString(*Base64::base64EncodedStringWithWrapWidth(data, 64)), data);
}

TEST(calix_encoding_Base64Codec, MalformedTextGivesNothing) {
    const char* cases[] = {
        "",          // empty
        "!!!\r\n",   // nothing of the alphabet
        "Zm9",       // group without padding
        "Zg=",       // padding short
        "Z===",      // too much padding
        "Zg===",     //
        "====",      //
        "Zg==Zg==",  // data after padding
        "Zm9vY",     // one stray sextet
    };
    for (const char* text : cases) {
        EXPECT_FALSE(Base64::dataWithBase64EncodedString(text)) << text;
        EXPECT_FALSE(Base64::stringWithBase64EncodedString(text)) << text;
    }
}

TEST(calix_encoding_Base64Codec, DecodedTextMustBeUtf8) {
    EXPECT_EQ(Base64::stringWithBase64EncodedString(Base64::base64EncodedString("h\xc3\xa9llo")),
              "h\xc3\xa9llo");
    EXPECT_EQ(Base64::base64DecodedData("/w=="), std::vector<uint8_t>{0xFF});
    EXPECT_FALSE(Base64::base64DecodedString("/w=="));
    EXPECT_FALSE(Base64::stringWithBase64EncodedString("ww=="));  // truncated sequence
    EXPECT_FALSE(Base64::stringWithBase64EncodedString("wIA="));  // overlong NUL
}

}  // namespace
