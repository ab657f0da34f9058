// The address entry's checks and the request file both entries write.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/archive/KeyedArchive.h"
#include "tests/support/TempRoot.h"
#include "ui/screens/main/ServerAddressRequest.h"
#include "ui/screens/main/StringExtension.h"

namespace {

TEST(ServerAddressText, HostIsADottedAddressOrAnyTextWithALetterAndADot) {
    const std::vector<std::pair<QString, bool>> cases{
        {"192.168.1.10", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"010.001.0.9", true},
        {"256.1.1.1", false},
        {"1.2.3.300", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"", false},
        {"localhost", false},
        {"mdm.example.com", true},
        {"a.", true},
        {"x..y..", true},
        {"1.2.3.4 ", false},
        // A unit whose low byte is a letter counts as a letter.
        {QString::fromUtf8("\u0141.1"), true},
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(Extension::isValidatIP(text), valid) << text.toStdString();
    EXPECT_FALSE(Extension::isLetter(""));
    EXPECT_FALSE(Extension::isLetter("12.3"));
}

TEST(ServerAddressText, PortRulesDifferBetweenThePageAndTheSheet) {
    struct Case {
        QString port;
        bool page;
        bool sheet;
    };
    const std::vector<Case> cases{
        {"443", true, true},   {"0", false, true},   {"", false, true},
        {"99999", true, true}, {"00", true, true},   {"44a", false, false},
        {" 80", false, false}, {"-1", false, false}, {"8.0", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hux::isPureNumandCharacters(c.port, true), c.page) << c.port.toStdString();
        EXPECT_EQ(hux::isPureNumandCharacters(c.port, false), c.sheet) << c.port.toStdString();
    }
}

TEST(ServerAddressRequest, WritesTwoEqualPairsIntoTheUsersFolder) {
    testsupport::TempRoot root;
    root.signInAtScreen("root");
    std::filesystem::create_directories(root.at("/root"));
    ASSERT_TRUE(hux::writeServerAddressRequest("mdm.example.com", "8443"));
    const std::string path = root.at("/root/Library/Application Support/RavAvizaL/domianorip.archive");
    auto decoded = archive::unarchiveObjectWithFile(path, {});
    ASSERT_TRUE(decoded);
    const archive::Value pair = archive::Array{"mdm.example.com", "8443"};
    EXPECT_EQ(decoded.value, archive::Value(archive::Array{pair, pair}));
}

}  // namespace
