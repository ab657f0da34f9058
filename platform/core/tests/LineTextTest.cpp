#include <gtest/gtest.h>

#include <string>

#include "platform/core/LineText.h"

TEST(LineText, AcceptsOneLineOfText) {
    for (const std::string text :
         {"", "Corp-Secure", "WiFi (Gäste) ; # = [x] \\ \"q\"", "  padded  ", "日本語", "\xf0\x9f\x93\xb6",
          "\xc2\xa0" /* no-break space */, "\xef\xbf\xbd" /* replacement character */}) {
        EXPECT_TRUE(linetext::lineSafe(text)) << text;
    }
}

TEST(LineText, RefusesControlsAndBrokenUtf8) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"newline", "a\nb"},
        {"carriage return", "a\r"},
        {"tab", "a\tb"},
        {"NUL inside", std::string("a\0b", 3)},
        {"escape", "\x1b[31m"},
        {"DEL", "a\x7f"},
        {"NEL (C1)", "a\xc2\x85"},
        {"CSI (C1)", "\xc2\x9b"},
        {"line separator", "a\xe2\x80\xa8"},
        {"paragraph separator", "\xe2\x80\xa9"},
        {"lone continuation byte", "a\x80"},
        {"truncated sequence", "caf\xc3"},
        {"truncated four-byte sequence", "\xf0\x9f\x93"},
        {"overlong newline", "\xc0\x8a"},
        {"overlong slash", "\xe0\x80\xaf"},
        {"surrogate", "\xed\xa0\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80"},
        {"invalid lead byte", "\xff"},
        {"Latin-1 text", "Caf\xe9"},
    };
    for (const Case& c : cases) EXPECT_FALSE(linetext::lineSafe(c.text)) << c.name;
}
