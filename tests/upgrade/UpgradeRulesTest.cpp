#include <gtest/gtest.h>

#include "upgrade/engine/AppModuleModel.h"
#include "upgrade/engine/UpgradeRules.h"

using namespace upgraderules;

TEST(UpgradeRules, ComparesVersionsByNumericParts) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"5.1.100", "5.1.70", 1},  // text order would put 100 first
        {"5.1.70", "5.1.100", -1},
        {"5.1", "5.1.0", -1},  // a missing part sorts first
        {"5.1.80", "5.1.80", 0},
        {"5.01.80", "5.1.80", 0},  // leading zeros do not count
        {"6.0", "5.1.80", 1},
        {"5.1.80a", "5.1.80", 1},              // text after the digits breaks ties
        {"99999999999999999999.1", "5.1", 1},  // no overflow on long parts
        {"", "5.1", -1},
    };
    for (const auto& c : cases) {
        int r = compareVersions(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(UpgradeRules, VersionRuleStopsOnlyOldLinesBelowSeventy) {
    struct Case {
        const char* server;
        const char* local;
        VersionDecision decision;
    } cases[] = {
        {"5.1.69", "5.1.80", VersionDecision::LocalIsNewer}, {"5.1.75", "5.1.80", VersionDecision::Rollback},
        {"5.1.100", "5.1.70", VersionDecision::Install},     // newer by number
        {"5.1.80", "5.1.80", VersionDecision::Install},      // equal installs again
        {"5.0", "5.1.80", VersionDecision::Rollback},        // two parts: never stopped
        {"5.1.x", "5.1.80", VersionDecision::LocalIsNewer},  // no digits: third part reads 0
        {"", "5.1.80", VersionDecision::Rollback},
    };
    for (const auto& c : cases)
        EXPECT_EQ(versionRule(c.server, c.local), c.decision) << c.server << " vs " << c.local;
}

TEST(UpgradeRules, SafeComponentsAreNamesWithoutSeparators) {
    struct Case {
        const char* text;
        bool safe;
    } cases[] = {
        {"Hux", true},  {"5.1.100", true},   {"Hux_setup-2", true}, {"", false},
        {"..", false},  {"a..b", false},     {"../etc", false},     {"a/b", false},
        {"a b", false}, {"a;rm -rf", false}, {"$(id)", false},      {"a\nb", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isSafeComponent(c.text), c.safe) << c.text;
}

TEST(UpgradeRules, ServerListFromPackageAddress) {
    using E = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* url;
        ServerListStatus status;
        E entries;
    } cases[] = {
        {"http://h/p.pkg?(10.0.0.1_8080)",
         ServerListStatus::Ok,
         {{"10.0.0.1", "8080"}, {"10.0.0.1", "8080"}}},
        {"http://h/(x)/p.pkg?(a_1,,c_3)", ServerListStatus::Ok, {{"a", "1"}, {"a", "1"}, {"c", "3"}}},
        {"http://h/p.pkg?(a_1,b_2,x,d_4)", ServerListStatus::Ok, {{"a", "1"}, {"b", "2"}}},
        {"http://h/p.pkg?(a_1,b_2,c_3,d_4)",
         ServerListStatus::Ok,
         {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}},
        {"http://h/p.pkg", ServerListStatus::None, {}},
        {"http://h/p.pkg?()", ServerListStatus::None, {}},
        {"http://h/p.pkg?(nohost)", ServerListStatus::Invalid, {}},
        {"http://h/p.pkg?(a_99999)", ServerListStatus::Invalid, {}},
        {"http://h/p.pkg?(a_80,b_x)", ServerListStatus::Invalid, {}},
        {"http://h/p.pkg?(a_1_2)", ServerListStatus::Invalid, {}},
        {"http://h/p.pkg?(a/b_80)", ServerListStatus::Invalid, {}},
    };
    for (const auto& c : cases) {
        ServerList list = serverListFromUrl(c.url);
        EXPECT_EQ(list.status, c.status) << c.url;
        E got;
        for (const auto& e : list.entries) got.emplace_back(e.host, e.port);
        EXPECT_EQ(got, c.entries) << c.url;
    }
}

TEST(AppModuleModel, ReadsItemAndRoundTripsThroughItsCoding) {
    auto item = nlohmann::json{{"name", "Hux.pkg.deb"}, {"url", "http://h/p"}, {"version", "5.1.9"},
                               {"md5", "AB"},           {"cmd", "/S"},         {"runAs", "root"}};
    AppModuleModel m = AppModuleModel::initWithData(item);
    EXPECT_EQ(m.appName, "Hux");
    EXPECT_EQ(m.argvs, "/S");
    EXPECT_FALSE(m.des.has_value());
    EXPECT_EQ(m.upgradeType, 0);
    m.des = "notes";
    m.upgradeType = 5;
    m.waitTime = 30;
    auto back = AppModuleModel::decode(m.encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, m.name);
    EXPECT_EQ(back->downUrl, m.downUrl);
    EXPECT_EQ(back->des, "notes");
    EXPECT_EQ(back->upgradeType, 5);
    EXPECT_EQ(back->waitTime, 30);
    EXPECT_FALSE(back->runAuthority.has_value());  // not archived
    EXPECT_FALSE(back->updateAction.has_value());

    EXPECT_EQ(AppModuleModel::initWithData(nlohmann::json{{"name", "plain"}}).appName, "plain");
    AppModuleModel plain;
    EXPECT_EQ(plain.upgradeType, -1);
    EXPECT_EQ(plain.name, "");
}
