#include <gtest/gtest.h>

#include "common/cipher/StringExtension.h"

namespace {

TEST(common_cipher_IfINIPSegment, AnswersWhetherTheAddressLiesInTheRange) {
    const struct {
        const char* range;
        const char* address;
        bool inside;
    } cases[] = {
        {"10.0.0.1-10.0.0.255", "10.0.0.1", true},
        {"10.0.0.1-10.0.0.255", "10.0.0.255", true},
        {"10.0.0.1-10.0.0.255", "10.0.0.128", true},
        {"10.0.0.1-10.0.0.255", "10.0.1.0", false},
        {"10.0.0.1-10.0.0.255", "10.0.0.0", false},
        {"10.0.0.1-10.0.0.255", "9.255.255.255", false},
        {"0.0.0.0-255.255.255.255", "255.255.255.255", true},
        {"192.168.1.10-192.168.1.5", "192.168.1.7", false},  // reversed range holds nothing
        // Parts are not limited to 0..255: 10.0.0.256 counts as 10.0.1.0.
        {"10.0.1.0-10.0.1.0", "10.0.0.256", true},
        // A part that is no number counts 0; a leading number counts.
        {"10.0.0.0-10.0.0.9", "10.0.0.x", true},
        {"10.0.0.0-10.0.0.9", "10.0.0.5abc", true},
        {"10.0.0.0-10.0.0.9", "10.0.0. 7", true},
        // Huge parts must not overflow into a wrong answer.
        {"10.0.0.0-10.0.0.9", "10.0.0.99999999999999999999999", false},
        {"10.0.0.0-10.0.0.9", "10.0.0.-99999999999999999999999", false},
        // Shapes that answer NO.
        {"10.0.0.1", "10.0.0.1", false},
        {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.3", false},
        {"10.0.0-10.0.0.255", "10.0.0.3", false},
        {"10.0.0.1-10.0.0.255", "10.0.0.3.4", false},
        {"10.0.0.1-10.0.0.255", "", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.range << " / " << c.address);
        EXPECT_EQ(Extension::ifINIPSegment(c.range, c.address), c.inside);
    }
}

TEST(common_cipher_ConfirmPassFormat, NeedsLengthLetterDigitAndSpecialCharacter) {
    const struct {
        std::optional<std::string> text;
        bool valid;
    } cases[] = {
        {std::nullopt, false},
        {"", false},
        {"Abcdef1!", true},
        {"abcdef1!", true},  // the pattern is case-insensitive: any letter satisfies both letter checks
        {"ABCDEF1!", true},
        {"Abcde1!", false},                            // 7 characters
        {"Abcdefgh1!" + std::string(22, 'x'), true},   // 32
        {"Abcdefgh1!" + std::string(23, 'x'), false},  // 33
        {"Abcdefg!", false},                           // no digit
        {"1234567!", false},                           // no letter
        {"Abcdefg1", false},                           // no special character
        {"Abcdefg1 ", false},                          // a space is not in the set
        {"Abcdefg1-", true},
        {"Abcdefg1[", true},
        {"Abcdefg1]", true},
        {"Abcdefg1\\", false},  // the backslashes in the pattern only escape
        {"Abcdefg1！", true},   // full-width punctuation
        {"Abcdefg1￥", true},
        {"Abcdefg1【", true},
        {"Abcdefg1…", true},
        {"Abcdefg1—", true},
        {"Abcdefg1é", false},
        {"Abc\ndef1!", false},  // "." does not cross a line break
        {"Abcdefg1!\n", false},
        {"Abc def1!", true},
        // Length counts characters, not bytes: eight characters that are 17 bytes pass.
        {"中文中文A1!x", true},
        {"Ab1!" + std::string(29 * 3, 'z'), false},
        {std::string("Abcdefg1!\xC3"), false},  // not UTF-8
        {std::string(100000, 'a') + "1!", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(missing)").substr(0, 40));
        EXPECT_EQ(Extension::confirmPassFormat(c.text), c.valid);
    }
}

}  // namespace
