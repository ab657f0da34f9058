// The compliance screen's test fixture: a temporary root, the Qt-bound main queue, manual time,
// and the real checker whose commands answer from a table.
#pragma once

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QScrollArea>
#include <QTabWidget>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRoot.h"
#include "ui/screens/compliance/ZemDetailCell.h"
#include "ui/screens/compliance/ZemMainViewController.h"
#include "ui/session/compliance/ZemCheck.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

namespace compliancetest {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::string kFindmnt = "/usr/bin/findmnt -n -o SOURCE /";
inline const std::string kLsblk = "/usr/bin/lsblk -n -s -o TYPE /dev/mapper/root";
inline const std::string kSystemctl =
    "/usr/bin/systemctl is-active ufw.service firewalld.service nftables.service";
inline const std::string kRealm = "/usr/sbin/realm list --name-only";

// The checks' commands, answered from a table; the checks call it on the check queue.
class TableRunner : public CheckCommandRunner {
  public:
    CheckCommandResult run(const std::string& path, const std::vector<std::string>& args) override {
        std::string line = path;
        for (const auto& a : args) line += " " + a;
        std::unique_lock lock(mutex_);
        calls_.push_back(line);
        if (line == heldLine_ && std::count(calls_.begin(), calls_.end(), line) == heldCall_) {
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return heldLine_.empty(); });
        }
        auto found = answers_.find(line);
        if (found == answers_.end()) return {std::nullopt, path + ": no such program"};
        return {found->second, std::nullopt};
    }
    void set(const std::string& line, const std::string& output) {
        std::lock_guard lock(mutex_);
        answers_[line] = output;
    }

    bool called(const std::string& line) {
        std::lock_guard lock(mutex_);
        return std::find(calls_.begin(), calls_.end(), line) != calls_.end();
    }

    // The nth run of line (from 1) waits in the check queue until release().
    void hold(const std::string& line, long nth) {
        std::lock_guard lock(mutex_);
        heldLine_ = line;
        heldCall_ = nth;
        held_ = false;
    }
    bool isHeld() {
        std::lock_guard lock(mutex_);
        return held_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        heldLine_.clear();
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string heldLine_;
    long heldCall_ = 0;
    bool held_ = false;
    std::map<std::string, std::string> answers_;
    std::vector<std::string> calls_;
};

enum Check { Disk, Firewall, Client, Domain };

inline std::string itemXml(const char* title, const char* selector, const char* key, const char* keyword) {
    std::string xml = std::string("<dict><key>title</key><string>") + title +
                      "</string><key>detail</key><string>detail of " + title +
                      "</string><key>selectorName</key><string>" + selector +
                      "</string><key>mainKey</key><string>" + key + "</string>";
    if (keyword) xml += std::string("<key>keyword</key><string>") + keyword + "</string>";
    return xml + "</dict>";
}

inline const std::string kDisk = itemXml("磁盘已加密", "checkFileVault:", "is_disk_encrypt", "disk");
inline const std::string kFirewall = itemXml("已开启主机防火墙", "checkFireWall:", "firewall", "firewall");
inline const std::string kClient = itemXml("Zem安装检测", "checkZemVersion:", "ent_zem", nullptr);
inline const std::string kDomain = itemXml("域检测", "checkJoinDomain:", "ent_domain", "domain");

inline std::string categoryXml(const char* name, const std::vector<std::string>& items) {
    std::string xml = std::string("<dict><key>") + name + "</key><array>";
    for (const auto& i : items) xml += i;
    return xml + "</array></dict>";
}

// Three categories; the third repeats the first's two items with equal fields.
inline std::string catalogueXml() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array>" +
           categoryXml("系统安全", {kDisk, kFirewall}) + categoryXml("软件与域", {kClient, kDomain}) +
           categoryXml("复查", {kDisk, kFirewall}) + "</array></plist>";
}

class ComplianceScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
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
        runner_->release();
        hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(false);
        screen_.reset();
        bool drained = false;
        dispatch::WorkQueue::main()->dispatch([&drained] { drained = true; });
        EXPECT_TRUE(qttest::waitFor([&] { return drained; }));
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
        archive::Dictionary access{
            {"is_disk_encrypt", "1"}, {"firewall", "1"}, {"ent_zem", "5.0"}, {"ent_domain", "corp.example"}};
        ASSERT_TRUE(
            archive::archiveRootObjectToFile(archive::Dictionary{{"access", access}}, complianceInfoPath()));
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
        o.checkAtStart = false;
        screen_ = std::make_unique<ZemMainViewController>(o);
        screen_->resize(900, 600);
        screen_->show();
        return *screen_;
    }

    // Loads the list, waits for every result and lets the 2.5 s to the end of the run pass.
    void runChecks(ZemMainViewController& screen) {
        screen.getDataFromPlist();
        ASSERT_TRUE(qttest::waitFor([&] {
            return screen.checkRun().needCheckCount() > 0 &&
                   screen.checkRun().hadCheckedCount() == screen.checkRun().needCheckCount();
        }));
        finishRun(screen);
    }

    void finishRun(ZemMainViewController& screen) {
        dispatch::ManualTime::advance(2500ms);
        ASSERT_TRUE(qttest::waitFor(
            [&] { return screen.reCheckBtn()->isEnabled() && screen.stateLb()->text() != "正在检测"; }));
    }

    ZemDetailTabelSectionHeaderView* header(ZemMainViewController& screen, int category) {
        QTreeWidget* tree = screen.myTableView();
        return qobject_cast<ZemDetailTabelSectionHeaderView*>(
            tree->itemWidget(tree->topLevelItem(category), 0));
    }
    ZemDetailCell* cell(ZemMainViewController& screen, int category, int item) {
        QTreeWidget* tree = screen.myTableView();
        return qobject_cast<ZemDetailCell*>(tree->itemWidget(tree->topLevelItem(category)->child(item), 0));
    }
    // Runs the main-queue work queued so far.
    static void drainMain() {
        bool drained = false;
        dispatch::WorkQueue::main()->dispatch([&drained] { drained = true; });
        ASSERT_TRUE(qttest::waitFor([&] { return drained; }));
    }

    // The console user's account record with that login type.
    static void signIn(int64_t loginType) {
        common::AccountModel record;
        record.userid = "zhangsan";
        record.username = "Zhang San";
        record.loginType = loginType;
        record.setTicket("ticket-1");
        ASSERT_TRUE(record.save());
    }

    static QString imageOf(QObject* view) { return view->property("imageName").toString(); }

    testsupport::TempRoot root_;
    dispatch::ManualTime time_;
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::shared_ptr<TableRunner> runner_;
    std::unique_ptr<ZemCheck> checker_;
    std::unique_ptr<UserNotificationCenter> notifications_;
    std::unique_ptr<ZemMainViewController> screen_;
};

}  // namespace compliancetest
