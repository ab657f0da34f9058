// The compliance screen over the real checker: the checks' commands answer from a table, their
// results come back through the real notification centre on the Qt-bound main queue, and the
// delayed end of a run waits on manual time. Screenshots go to <build>/ui-screenshots.
#include <QTextBrowser>

#include "ComplianceFixture.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"

// Fontconfig, loaded by Qt's offscreen platform, keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libdbus\n";
}

namespace {

using namespace compliancetest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(ComplianceScreen, FailedItemsSetTheLevelTextsAndUnsafeLook) {
    struct Case {
        const char* name;
        std::set<Check> failing;
        int warnings;  // the third category repeats disk and firewall
        int level;
        const char* state;
    };
    const std::vector<Case> cases = {
        {"domain", {Domain}, 1, 1, "轻度危险"},
        {"firewall", {Firewall}, 2, 1, "轻度危险"},
        {"firewall-domain", {Firewall, Domain}, 3, 2, "中度危险"},
        {"disk-firewall", {Disk, Firewall}, 4, 2, "中度危险"},
        {"disk-firewall-client", {Disk, Firewall, Client}, 5, 3, "重度危险"},
    };
    requireAll();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        failing(c.failing);
        ZemMainViewController& screen = makeScreen();
        runChecks(screen);
        EXPECT_EQ(screen.checkRun().needCheckCount(), 6);
        EXPECT_EQ(screen.checkRun().warnCount(), c.warnings);
        EXPECT_EQ(screen.currentLevel(), c.level);
        EXPECT_EQ(screen.stateLb()->text().toStdString(), c.state);
        EXPECT_EQ(screen.checkNumLb()->text(), "6项实时合规检测");
        EXPECT_EQ(screen.tinyStateLb()->text(), QString("发现%1个问题").arg(c.warnings));
        EXPECT_FALSE(screen.repairBtn()->isHidden());
        EXPECT_EQ(screen.repairBtn()->text(), QString("%1个问题待修复").arg(c.warnings));
        EXPECT_EQ(imageOf(screen.bgImgView()), "main_bg_unsafe");
        EXPECT_EQ(imageOf(screen.gifImgView()), "completeImg_unsafe");
        EXPECT_EQ(imageOf(screen.tinyGifImgView()), "gifCompleteTiny_unsafe");
        EXPECT_EQ(imageOf(screen.percentImgView()), "statecycle100_unsafe");
        EXPECT_EQ(imageOf(screen.reCheckBtn()), "reCheck");
        EXPECT_TRUE(screen.animatePointView()->isHidden());
        EXPECT_EQ(screen.stateLb()->palette().color(QPalette::WindowText), QColor(0xF4, 0x6F, 0x16));
        // The first and the third category hold equal items and are counted apart.
        const int firstRepairs = static_cast<int>(c.failing.count(Disk) + c.failing.count(Firewall));
        EXPECT_EQ(screen.dataSource()[0].repairNum, firstRepairs);
        EXPECT_EQ(screen.dataSource()[2].repairNum, firstRepairs);
        ASSERT_NE(screen.leftBar(), nullptr);
        EXPECT_EQ(screen.leftBar()->level(), c.level);
        EXPECT_FALSE(screen.leftBar()->detailBtn()->isHidden());
        qttest::saveScreenshot(screen, std::string("compliance-overview-") + c.name);
    }
}

TEST_F(ComplianceScreen, NoFailedItemGivesTheSafeLookAndHidesTheRepairButton) {
    requireAll();
    failing({});
    ZemMainViewController& screen = makeScreen();
    runChecks(screen);
    EXPECT_EQ(screen.currentLevel(), 0);
    EXPECT_EQ(screen.stateLb()->text(), "电脑安全");
    EXPECT_EQ(screen.checkNumLb()->text(), "合规检测项全部正常");
    EXPECT_EQ(screen.tinyStateLb()->text(), "电脑安全");
    EXPECT_TRUE(screen.repairBtn()->isHidden());
    EXPECT_EQ(imageOf(screen.bgImgView()), "main_bg_safe");
    EXPECT_EQ(imageOf(screen.gifImgView()), "completeImg_safe");
    EXPECT_EQ(imageOf(screen.checkImg()), "Testing1");
    EXPECT_EQ(screen.stateLb()->palette().color(QPalette::WindowText), QColor(0x15, 0xB6, 0x55));
    EXPECT_EQ(screen.leftBar()->level(), 0);
    EXPECT_TRUE(screen.leftBar()->detailBtn()->isHidden());
    qttest::saveScreenshot(screen, "compliance-overview-safe");
}

TEST_F(ComplianceScreen, WithNoRequiredCheckEveryEmptyCategoryEndsTheRunAtOnce) {
    failing({Disk, Firewall});
    ZemMainViewController& screen = makeScreen();
    screen.getDataFromPlist();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.checkNumLb()->text() == "合规检测项全部正常"; }));
    EXPECT_EQ(screen.dataSource().size(), 3u);
    for (const ZemRootModel& category : screen.dataSource()) EXPECT_TRUE(category.leafArr.empty());
    EXPECT_EQ(screen.stateLb()->text(), "电脑安全");
    EXPECT_TRUE(screen.reCheckBtn()->isEnabled());
    EXPECT_EQ(screen.myTableView()->topLevelItemCount(), 3);
}

TEST_F(ComplianceScreen, AnEmptyCategoryLeavesTheSummaryToTheLastRunningCheck) {
    // The middle category needs no check; the last one's disk check is held while it runs.
    archive::Dictionary access{{"is_disk_encrypt", "1"}, {"firewall", "1"}};
    ASSERT_TRUE(
        archive::archiveRootObjectToFile(archive::Dictionary{{"access", access}}, complianceInfoPath()));
    failing({Firewall});
    runner_->hold(kLsblk, 2);
    ZemMainViewController& screen = makeScreen();
    screen.getDataFromPlist();
    ASSERT_TRUE(qttest::waitFor([&] { return runner_->isHeld(); }));
    drainMain();
    EXPECT_TRUE(screen.dataSource().at(1).leafArr.empty());
    EXPECT_LT(screen.checkRun().hadCheckedCount(), screen.checkRun().needCheckCount());
    EXPECT_EQ(screen.stateLb()->text(), "正在检测") << "no summary while a check runs";
    EXPECT_NE(screen.checkNumLb()->text(), "合规检测项全部正常");

    runner_->release();
    ASSERT_TRUE(qttest::waitFor(
        [&] { return screen.checkRun().hadCheckedCount() == screen.checkRun().needCheckCount(); }));
    finishRun(screen);
    EXPECT_EQ(screen.checkRun().warnCount(), 2);
    EXPECT_EQ(screen.checkNumLb()->text(), "4项实时合规检测");
    EXPECT_EQ(screen.tinyStateLb()->text(), "发现2个问题");
}

TEST_F(ComplianceScreen, MissingCatalogueLeavesTheListUnchanged) {
    requireAll();
    failing({Firewall});
    ZemMainViewController& screen = makeScreen();
    runChecks(screen);
    fs::remove(paths::uiAppResources() + "/ZemCheck.plist");
    screen.getDataFromPlist();
    bool drained = false;
    dispatch::WorkQueue::main()->dispatch([&drained] { drained = true; });
    ASSERT_TRUE(qttest::waitFor([&] { return drained; }));
    EXPECT_EQ(screen.dataSource().size(), 3u);
    EXPECT_EQ(screen.checkRun().needCheckCount(), 6);
    EXPECT_EQ(screen.stateLb()->text(), "轻度危险");
}

TEST_F(ComplianceScreen, CellsShowStateOrRepairButtonAndTheHeaderItsRepairCount) {
    requireAll();
    failing({Disk, Client});
    ZemMainViewController& screen = makeScreen();
    runChecks(screen);
    screen.tapRepairBtn();
    EXPECT_EQ(screen.mTabView()->currentIndex(), 2);
    EXPECT_EQ(screen.leftBar()->detailBtn()->status(), 1u);

    // Failed with a keyword: the repair button instead of the state text.
    ZemDetailCell* disk = cell(screen, 0, 0);
    ASSERT_NE(disk, nullptr);
    EXPECT_FALSE(disk->repairBtn()->isHidden());
    EXPECT_TRUE(disk->stateLb()->isHidden());
    // Passed: "正常" in green, no repair button.
    ZemDetailCell* firewall = cell(screen, 0, 1);
    EXPECT_EQ(firewall->stateLb()->text(), "正常");
    EXPECT_FALSE(firewall->stateLb()->isHidden());
    EXPECT_TRUE(firewall->repairBtn()->isHidden());
    EXPECT_EQ(firewall->stateLb()->palette().color(QPalette::WindowText), QColor(0x25, 0x9B, 0x24));
    // Failed without a keyword: "异常" in red and no repair button.
    ZemDetailCell* client = cell(screen, 1, 0);
    EXPECT_EQ(client->stateLb()->text(), "异常");
    EXPECT_FALSE(client->stateLb()->isHidden());
    EXPECT_TRUE(client->repairBtn()->isHidden());
    EXPECT_EQ(client->stateLb()->palette().color(QPalette::WindowText), QColor(0xEE, 0x59, 0x58));

    EXPECT_FALSE(header(screen, 0)->repairNumLb()->isHidden());
    EXPECT_EQ(header(screen, 0)->repairNumLb()->text(), "1项待修复");
    EXPECT_EQ(imageOf(header(screen, 0)->headIcon()), "sectionIcon_unsafe");
    EXPECT_EQ(header(screen, 1)->repairNumLb()->text(), "1项待修复");
    EXPECT_EQ(screen.myTableView()->topLevelItem(0)->sizeHint(0).height(), 39);
    EXPECT_EQ(screen.myTableView()->topLevelItem(0)->child(0)->sizeHint(0).height(), 53);
    qttest::saveScreenshot(screen, "compliance-details-unsafe");

    // A category without failures: blue title, safe icon, no count.
    failing({});
    screen.reCheckBtnClick();
    EXPECT_FALSE(screen.reCheckBtn()->isEnabled());
    ASSERT_TRUE(qttest::waitFor([&] { return screen.checkRun().hadCheckedCount() == 6; }));
    finishRun(screen);
    EXPECT_TRUE(header(screen, 0)->repairNumLb()->isHidden());
    EXPECT_EQ(imageOf(header(screen, 0)->headIcon()), "sectionIcon_safe");
    EXPECT_EQ(header(screen, 0)->titleLb()->palette().color(QPalette::WindowText), QColor(0x28, 0x94, 0xF1));
    EXPECT_EQ(screen.stateLb()->text(), "电脑安全");
    // Nothing left to repair: the details entry goes and the screen is back on the overview (the
    // left bar's selection reaches the tabs through the main queue).
    EXPECT_TRUE(screen.leftBar()->detailBtn()->isHidden());
    EXPECT_TRUE(qttest::waitFor([&] { return screen.mTabView()->currentIndex() == 1; }));
    EXPECT_EQ(screen.leftBar()->allBtn()->status(), 1u);
    qttest::saveScreenshot(screen, "compliance-details-safe");
}

TEST_F(ComplianceScreen, RepairButtonOfAnItemOpensTheHelpWindowOnItsKeyword) {
    requireAll();
    failing({Firewall});
    ZemMainViewController& screen = makeScreen();
    runChecks(screen);
    ZemDetailCell* firewall = cell(screen, 0, 1);
    ASSERT_FALSE(firewall->repairBtn()->isHidden());
    firewall->repairBtn()->click();
    ZemHelpWebWindowController& help = ZemHelpWebWindowController::sharedInstance();
    ASSERT_TRUE(help.window() && help.window()->isVisible());
    EXPECT_EQ(help.window()->size(), QSize(920, 600));
    const QRect main = screen.window()->frameGeometry();
    EXPECT_EQ(help.window()->pos(),
              QPoint(main.x() + 50 + (main.width() - 920) / 2, main.y() + 50 + (main.height() - 600) / 2));
    help.window()->hide();
}

// The screen loads its list and checks at start; the domain login follows 3 s later.
TEST_F(ComplianceScreen, ChecksRunAtStartAndTheDomainLoginFollows) {
    requireAll();
    failing({Domain});
    runner_->set("/usr/bin/id -un", "zhangsan\n");
    ZemMainViewController::Options o;
    o.checker = checker_.get();
    o.notifications = notifications_.get();
    o.fetchGeneralConfig = false;
    screen_ = std::make_unique<ZemMainViewController>(o);
    ZemMainViewController& screen = *screen_;
    ASSERT_TRUE(qttest::waitFor([&] { return screen.checkRun().hadCheckedCount() == 6; }));
    EXPECT_EQ(screen.stateLb()->text(), "正在检测");
    finishRun(screen);
    EXPECT_EQ(screen.stateLb()->text(), "轻度危险");
    EXPECT_FALSE(runner_->called("/usr/bin/id -un"));
    dispatch::ManualTime::advance(500ms);
    EXPECT_TRUE(qttest::waitFor([&] { return runner_->called("/usr/bin/id -un"); }));
}

TEST_F(ComplianceScreen, LeftBarCellsSelectTheirTabs) {
    ZemMainViewController& screen = makeScreen();
    ASSERT_NE(screen.leftBar(), nullptr);
    EXPECT_EQ(screen.leftBar()->geometry(), QRect(0, 0, 144, 600));
    screen.leftBar()->toolButton()->setStatus(0);
    screen.leftBar()->toolButton()->click();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.mTabView()->currentIndex() == 0; }));
    screen.leftBar()->allBtn()->click();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.mTabView()->currentIndex() == 1; }));
}

}  // namespace
