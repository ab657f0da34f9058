// The compliance screen over the real checker: the checks' commands answer from a table, their
// results come back through the real notification centre on the Qt-bound main queue, and the
// delayed end of a run waits on manual time. Screenshots go to <build>/ui-screenshots.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QScrollArea>
#include <QTabWidget>
#include <QTextBrowser>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/TempRoot.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"
#include "ui/screens/compliance/ZemDetailCell.h"
#include "ui/screens/compliance/ZemMainViewController.h"
#include "ui/screens/controls/tests/HuxTestApp.h"
#include "ui/session/compliance/ZemCheck.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libdbus\n";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kFindmnt = "/usr/bin/findmnt -n -o SOURCE /";
const std::string kLsblk = "/usr/bin/lsblk -n -s -o TYPE /dev/mapper/root";
const std::string kSystemctl = "/usr/bin/systemctl is-active ufw.service firewalld.service nftables.service";
const std::string kRealm = "/usr/sbin/realm list --name-only";

// The checks' commands, answered from a table; the checks call it on the check queue.
class TableRunner : public CheckCommandRunner {
  public:
    CheckCommandResult run(const std::string& path, const std::vector<std::string>& args) override {
        std::string line = path;
        for (const auto& a : args) line += " " + a;
        std::lock_guard lock(mutex_);
        auto found = answers_.find(line);
        if (found == answers_.end()) return {std::nullopt, path + ": no such program"};
        return {found->second, std::nullopt};
    }
    void set(const std::string& line, const std::string& output) {
        std::lock_guard lock(mutex_);
        answers_[line] = output;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::string> answers_;
};

enum Check { Disk, Firewall, Client, Domain };

std::string itemXml(const char* title, const char* selector, const char* key, const char* keyword) {
    std::string xml = std::string("<dict><key>title</key><string>") + title +
                      "</string><key>detail</key><string>detail of " + title +
                      "</string><key>selectorName</key><string>" + selector + "</string><key>mainKey</key><string>" +
                      key + "</string>";
    if (keyword) xml += std::string("<key>keyword</key><string>") + keyword + "</string>";
    return xml + "</dict>";
}

const std::string kDisk = itemXml("磁盘已加密", "checkFileVault:", "is_disk_encrypt", "disk");
const std::string kFirewall = itemXml("已开启主机防火墙", "checkFireWall:", "firewall", "firewall");
const std::string kClient = itemXml("Zem安装检测", "checkZemVersion:", "ent_zem", nullptr);
const std::string kDomain = itemXml("域检测", "checkJoinDomain:", "ent_domain", "domain");

std::string categoryXml(const char* name, const std::vector<std::string>& items) {
    std::string xml = std::string("<dict><key>") + name + "</key><array>";
    for (const auto& i : items) xml += i;
    return xml + "</array></dict>";
}

// Three categories; the third repeats the first's two items with equal fields.
std::string catalogueXml() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array>" +
           categoryXml("系统安全", {kDisk, kFirewall}) + categoryXml("软件与域", {kClient, kDomain}) +
           categoryXml("复查", {kDisk, kFirewall}) + "</array></plist>";
}

class ComplianceScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        huxtest::qtApp();
        mainQueue_ = std::make_unique<QtMainQueue>();
        root_.signInAtScreen("root");
        fs::create_directories(root_.path() + "/root");
        fs::create_directories(paths::machineSupportFolder());
        testsupport::writeFile(paths::uiAppResources() + "/ZemCheck.plist", catalogueXml());
        setInstalledVersion("5.2.1.100");
        runner_ = std::make_shared<TableRunner>();
        runner_->set(kFindmnt, "/dev/mapper/root\n");
        ZemCheck::Options o;
        o.runner = runner_;
        o.mainQueue = dispatch::WorkQueue::main();
        o.requirementPath = complianceInfoPath();
        o.appBundle = root_.file("bundle");
        checker_ = std::make_unique<ZemCheck>(o);
        notifications_ = std::make_unique<UserNotificationCenter>(QDBusConnection("no bus"));
    }

    void TearDown() override {
        screen_.reset();
        bool drained = false;
        dispatch::WorkQueue::main()->dispatch([&drained] { drained = true; });
        EXPECT_TRUE(huxtest::waitFor([&] { return drained; }));
        checker_.reset();
        QCoreApplication::processEvents();
        mainQueue_.reset();
    }

    void setInstalledVersion(const std::string& version) {
        archive::Dictionary info{{"CFBundleVersion", version}};
        fs::create_directories(root_.file("bundle/Contents"));
        ASSERT_TRUE(archive::writePlistFile(info, root_.file("bundle/Contents/Info.plist")));
    }

    void requireAll() {
        archive::Dictionary access{{"is_disk_encrypt", "1"}, {"firewall", "1"}, {"ent_zem", "5.0"},
                                   {"ent_domain", "corp.example"}};
        ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Dictionary{{"access", access}}, complianceInfoPath()));
    }

    // Makes the listed checks fail and the others pass.
    void failing(const std::set<Check>& checks) {
        runner_->set(kLsblk, checks.count(Disk) ? "part\n" : "crypt\n");
        runner_->set(kSystemctl, checks.count(Firewall) ? "inactive\n" : "active\n");
        runner_->set(kRealm, checks.count(Domain) ? "other.example\n" : "corp.example\n");
        setInstalledVersion(checks.count(Client) ? "4.9" : "5.2.1.100");
    }

    ZemMainViewController& makeScreen() {
        ZemMainViewController::Options o;
        o.checker = checker_.get();
        o.notifications = notifications_.get();
        o.domainLoginDelay = std::nullopt;
        o.fetchGeneralConfig = false;
        o.rebootAsAdministrator = [this]() -> std::optional<std::string> {
            ++reboots_;
            return rebootError_;
        };
        screen_ = std::make_unique<ZemMainViewController>(o);
        screen_->resize(900, 600);
        screen_->show();
        return *screen_;
    }

    // Loads the list, waits for every result and lets the 2.5 s to the end of the run pass.
    void runChecks(ZemMainViewController& screen) {
        screen.getDataFromPlist();
        ASSERT_TRUE(huxtest::waitFor([&] {
            return screen.checkRun().needCheckCount() > 0 &&
                   screen.checkRun().hadCheckedCount() == screen.checkRun().needCheckCount();
        }));
        finishRun(screen);
    }

    void finishRun(ZemMainViewController& screen) {
        dispatch::ManualTime::advance(2500ms);
        ASSERT_TRUE(huxtest::waitFor([&] { return screen.reCheckBtn()->isEnabled() && screen.stateLb()->text() != "正在检测"; }));
    }

    ZemDetailTabelSectionHeaderView* header(ZemMainViewController& screen, int category) {
        QTreeWidget* tree = screen.myTableView();
        return qobject_cast<ZemDetailTabelSectionHeaderView*>(tree->itemWidget(tree->topLevelItem(category), 0));
    }
    ZemDetailCell* cell(ZemMainViewController& screen, int category, int item) {
        QTreeWidget* tree = screen.myTableView();
        return qobject_cast<ZemDetailCell*>(tree->itemWidget(tree->topLevelItem(category)->child(item), 0));
    }
    static QString imageOf(QObject* view) { return view->property("imageName").toString(); }

    testsupport::TempRoot root_;
    dispatch::ManualTime time_;
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::shared_ptr<TableRunner> runner_;
    std::unique_ptr<ZemCheck> checker_;
    std::unique_ptr<UserNotificationCenter> notifications_;
    std::unique_ptr<ZemMainViewController> screen_;
    std::atomic<int> reboots_{0};
    std::optional<std::string> rebootError_;
};

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
        huxtest::saveScreenshot(screen, std::string("compliance-overview-") + c.name);
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
    huxtest::saveScreenshot(screen, "compliance-overview-safe");
}

TEST_F(ComplianceScreen, WithNoRequiredCheckEveryEmptyCategoryEndsTheRunAtOnce) {
    failing({Disk, Firewall});
    ZemMainViewController& screen = makeScreen();
    screen.getDataFromPlist();
    ASSERT_TRUE(huxtest::waitFor([&] { return screen.checkNumLb()->text() == "合规检测项全部正常"; }));
    EXPECT_EQ(screen.dataSource().size(), 3u);
    for (const ZemRootModel& category : screen.dataSource()) EXPECT_TRUE(category.leafArr.empty());
    EXPECT_EQ(screen.stateLb()->text(), "电脑安全");
    EXPECT_TRUE(screen.reCheckBtn()->isEnabled());
    EXPECT_EQ(screen.myTableView()->topLevelItemCount(), 3);
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
    ASSERT_TRUE(huxtest::waitFor([&] { return drained; }));
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
    huxtest::saveScreenshot(screen, "compliance-details-unsafe");

    // A category without failures: blue title, safe icon, no count.
    failing({});
    screen.reCheckBtnClick();
    EXPECT_FALSE(screen.reCheckBtn()->isEnabled());
    ASSERT_TRUE(huxtest::waitFor([&] { return screen.checkRun().hadCheckedCount() == 6; }));
    finishRun(screen);
    EXPECT_TRUE(header(screen, 0)->repairNumLb()->isHidden());
    EXPECT_EQ(imageOf(header(screen, 0)->headIcon()), "sectionIcon_safe");
    EXPECT_EQ(header(screen, 0)->titleLb()->palette().color(QPalette::WindowText), QColor(0x28, 0x94, 0xF1));
    EXPECT_EQ(screen.stateLb()->text(), "电脑安全");
    huxtest::saveScreenshot(screen, "compliance-details-safe");
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
    EXPECT_EQ(help.window()->pos(), QPoint(main.x() + 50 + (main.width() - 920) / 2, main.y() + 50 + (main.height() - 600) / 2));
    help.window()->hide();
}

}  // namespace
