// The compliance list: which catalogue items the machine's settings keep, the warning levels, and
// how a run counts posted results.
#include <gtest/gtest.h>

#include "platform/archive/KeyedArchive.h"
#include "tests/support/TempRoot.h"
#include "ui/screens/compliance/ZemCheckList.h"

namespace {

ZemCheckModel item(const std::string& title, const std::string& key) {
    ZemCheckModel m;
    m.title = title;
    m.detail = title + " detail";
    m.selectorName = "check:";
    m.mainKey = key;
    return m;
}

std::vector<ZemRootModel> catalogue() {
    return {{"系统安全",
             false,
             0,
             {item("磁盘已加密", "is_disk_encrypt"), item("已开启主机防火墙", "firewall"),
              item("密码安全", "password")}},
            {"软件与域", false, 0, {item("Zem安装检测", "ent_zem"), item("域检测", "ent_domain")}}};
}

std::vector<std::string> keptTitles(const CheckList& list) {
    std::vector<std::string> titles;
    for (const auto& c : list.categories)
        for (const auto& i : c.leafArr) titles.push_back(i.title);
    return titles;
}

TEST(ComplianceRequirementsTest, KeepsOnlyTheChecksTheArchiveRequires) {
    struct Case {
        const char* name;
        archive::Dictionary access;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases = {
        {"all",
         {{"is_disk_encrypt", "1"}, {"firewall", "1"}, {"ent_zem", "5.2"}, {"ent_domain", "corp.example"}},
         {"磁盘已加密", "已开启主机防火墙", "Zem安装检测", "域检测"}},
        {"switches other than the text 1", {{"is_disk_encrypt", "2"}, {"firewall", 1}}, {}},
        {"empty texts", {{"ent_zem", ""}, {"ent_domain", ""}}, {}},
        {"domain only", {{"ent_domain", "corp.example"}}, {"域检测"}},
        {"no access entries", {}, {}},
    };
    for (const Case& c : cases) {
        testsupport::TempFolder folder;
        const std::string path = folder.file("complianceInfo.archive");
        ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Dictionary{{"access", c.access}}, path));
        const CheckList list = requiredCheckList(catalogue(), readComplianceRequirements(path));
        EXPECT_EQ(keptTitles(list), c.kept) << c.name;
        EXPECT_EQ(list.needCheckCount, static_cast<int64_t>(c.kept.size())) << c.name;
        ASSERT_EQ(list.categories.size(), 2u) << c.name << ": empty categories stay in the list";
    }
}

TEST(ComplianceRequirementsTest, MissingOrBrokenArchiveRequiresNothing) {
    testsupport::TempFolder folder;
    const ComplianceRequirements none = readComplianceRequirements(folder.file("missing.archive"));
    EXPECT_FALSE(none.diskEncrypt || none.firewall || none.clientCheck || none.domainCheck);
    const std::string broken = folder.write("broken.archive", "not an archive");
    const ComplianceRequirements fromBroken = readComplianceRequirements(broken);
    EXPECT_FALSE(fromBroken.diskEncrypt || fromBroken.firewall || fromBroken.clientCheck ||
                 fromBroken.domainCheck);
}

TEST(ComplianceLevelTest, LevelsAndTextsByFailedItems) {
    const std::vector<std::pair<int64_t, int32_t>> cases = {{0, 0}, {1, 1}, {2, 1}, {3, 2},
                                                            {4, 2}, {5, 3}, {9, 3}};
    for (const auto& c : cases) EXPECT_EQ(warnLevelForCount(c.first), c.second) << c.first;
    EXPECT_STREQ(stateTextForLevel(0), "电脑安全");
    EXPECT_STREQ(stateTextForLevel(1), "轻度危险");
    EXPECT_STREQ(stateTextForLevel(2), "中度危险");
    EXPECT_STREQ(stateTextForLevel(3), "重度危险");
}

// Two equal items in different categories are two items: each result counts once, in list order.
TEST(ZemCheckRunTest, EqualItemsInDifferentCategoriesCountSeparately) {
    ZemCheckModel twin = item("域检测", "ent_domain");
    CheckList list;
    list.categories = {{"A", false, 0, {twin}}, {"B", false, 0, {twin}}};
    list.needCheckCount = 2;
    ZemCheckRun run;
    run.setList(list);
    run.begin();

    ZemCheckModel failed = twin;
    failed.isWarn = true;
    ZemCheckRun::Outcome first = run.resultReceived(failed);
    EXPECT_EQ(first.category, 0u);
    EXPECT_FALSE(first.runComplete);
    ZemCheckRun::Outcome second = run.resultReceived(twin);
    EXPECT_EQ(second.category, 1u);
    EXPECT_TRUE(second.runComplete);

    EXPECT_EQ(run.hadCheckedCount(), 2);
    EXPECT_EQ(run.warnCount(), 1);
    EXPECT_TRUE(run.dataSource()[0].isWarn);
    EXPECT_EQ(run.dataSource()[0].repairNum, 1);
    EXPECT_FALSE(run.dataSource()[1].isWarn);
    EXPECT_TRUE(run.dataSource()[0].leafArr[0].isWarn);
    EXPECT_FALSE(run.dataSource()[1].leafArr[0].isWarn);
}

TEST(ZemCheckRunTest, UnknownItemChangesNothingAndANewRunStartsClean) {
    CheckList list;
    list.categories = {
        {"A", false, 0, {item("磁盘已加密", "is_disk_encrypt"), item("已开启主机防火墙", "firewall")}}};
    list.needCheckCount = 2;
    ZemCheckRun run;
    run.setList(list);
    run.begin();

    ZemCheckRun::Outcome stray = run.resultReceived(item("elsewhere", "other"));
    EXPECT_FALSE(stray.category);
    EXPECT_EQ(run.hadCheckedCount(), 0);

    for (ZemCheckModel failed : list.categories[0].leafArr) {
        failed.isWarn = true;
        run.resultReceived(failed);
    }
    EXPECT_EQ(run.warnCount(), 2);
    EXPECT_EQ(run.dataSource()[0].repairNum, 2);

    run.begin();
    EXPECT_EQ(run.warnCount(), 0);
    EXPECT_EQ(run.hadCheckedCount(), 0);
    EXPECT_FALSE(run.dataSource()[0].isWarn);
    EXPECT_EQ(run.dataSource()[0].repairNum, 0);
    EXPECT_FALSE(run.dataSource()[0].leafArr[1].isWarn);
}

}  // namespace
