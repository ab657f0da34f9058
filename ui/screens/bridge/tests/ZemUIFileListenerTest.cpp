// The state-file watcher over a temporary root with real inotify streams: each watched file's
// change posts its own notification from the watcher's queue, the account record is judged by its
// ticket state and login type, and .ZemConfig reloads the server list without a notification.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/account/AccountModel.h"
#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/paths/Paths.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/bridge/ZemUIFileListener.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using hux::ZemUIFileListener;
using testsupport::eventually;

struct Posted {
    std::string name;
    archive::Value object;
    std::string queue;
};

class ZemUIFileListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::capturedLog().clear();
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(paths::machineSupportFolder());
        observer_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            "", nullptr, [this](const dispatch::Notification& n) {
                std::lock_guard lock(mutex_);
                posted_.push_back({n.name, n.object, dispatch::WorkQueue::currentLabel()});
            });
        listener_ = std::make_unique<ZemUIFileListener>(ZemUIFileListener::Options{50ms});
        listener_->startUIResourcesFileListen();
        // The stream is up once a change is reported.
        ASSERT_TRUE(eventually(
            [this] {
                touch("restart.txt");
                return !names().empty();
            },
            10s, 100ms));
        ASSERT_TRUE(eventually([this] { return settle(); }));
        clear();
    }
    void TearDown() override {
        listener_.reset();
        dispatch::NotificationCenter::defaultCenter().removeObserver(observer_);
    }

    std::string support(const std::string& name) const { return paths::machineSupportFolder() + "/" + name; }
    void touch(const std::string& name) {
        static int n = 0;
        testsupport::writeFile(support(name), std::to_string(++n));
    }
    std::vector<std::string> names() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& p : posted_) out.push_back(p.name);
        return out;
    }
    std::vector<Posted> posted() {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        posted_.clear();
    }
    // Changes restart.txt and waits for its notification: everything changed before has been
    // reported by then, since batches are delivered in order.
    bool settle() {
        const size_t before = names().size();
        touch("restart.txt");
        return eventually([&] {
            auto all = names();
            return all.size() > before && all.back() == hux::kRestartComputorNotification;
        });
    }
    // What the changes made before the call posted, without the settling marker.
    std::vector<std::string> postedBeforeSettle() {
        EXPECT_TRUE(settle());
        auto all = names();
        all.pop_back();
        return all;
    }

    testsupport::TempRoot root_;
    std::mutex mutex_;
    std::vector<Posted> posted_;
    dispatch::NotificationCenter::ObserverId observer_ = 0;
    std::unique_ptr<ZemUIFileListener> listener_;
};

TEST_F(ZemUIFileListenerTest, EachStateFilePostsItsOwnNotificationOnceFromTheWatcherQueue) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"c_zem_mark@2x.png", hux::UpdateLogoForConfigNoticationKey},
        {"tips.txt", hux::UpdateTipsForConfigNoticationKey},
        {"joinDomainUpdate.txt", hux::UpdateComputerNameForJoinDomainNotificationKey},
        {"joindomainSwitchStatus.archive", hux::DuceneSwitchStatusNotificationKey},
        {"tovikSSIDInfo.archive", hux::TovikSSIDChangedNotificationKey},
        {"switchqzn.archive", hux::UpdateQznSwitchForConfigNoticationKey},
        {"appmgrlist.archive", hux::UpdateAppMgtListForConfigNoticationKey},
        {"qzncloudlist.archive", hux::UpdateTrustedsAppForConfigNoticationKey},
        {"hidezemswitch.archive", hux::HideTrayForConfigNotificationKey},
    };
    for (const auto& [file, notification] : cases) {
        clear();
        touch(file);
        EXPECT_EQ(postedBeforeSettle(), std::vector<std::string>{notification}) << file;
        auto first = posted().front();
        EXPECT_TRUE(first.object.isNull()) << file;
        EXPECT_EQ(first.queue, ZemUIFileListener::kMonitorQueueLabel) << file;
        EXPECT_TRUE(testsupport::capturedLog().contains("path:" + support(file))) << file;
    }
    EXPECT_TRUE(testsupport::capturedLog().has("monitor tips.txt has changed"));
}

TEST_F(ZemUIFileListenerTest, AFileReplacedByRenameCountsAsAChange) {
    testsupport::writeFile(support("tips.tmp"), "new tips");
    fs::rename(support("tips.tmp"), support("tips.txt"));
    EXPECT_EQ(postedBeforeSettle(), std::vector<std::string>{hux::UpdateTipsForConfigNoticationKey});
}

TEST_F(ZemUIFileListenerTest, AccountRecordPostsTicketTimeOutByTicketStateAndLoginType) {
    struct Case {
        int64_t ticketState;
        int64_t loginType;
        std::optional<std::optional<int64_t>> expected;  // none: no post; inner none: no object
    };
    const std::vector<Case> cases{
        {2, 1, std::optional<int64_t>(2)},
        {2, 3, std::optional<int64_t>(2)},
        {1, 3, std::optional<int64_t>()},
        {1, 1, std::nullopt},
        {1, 2, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("ticket_state " + std::to_string(c.ticketState) + " loginType " +
                     std::to_string(c.loginType));
        clear();
        common::AccountModel record;
        record.userid = "u1";
        record.setTicket("t-1");
        record.ticket_state = c.ticketState;
        record.loginType = c.loginType;
        ASSERT_TRUE(record.save());
        auto before = postedBeforeSettle();
        auto all = posted();
        if (!c.expected) {
            EXPECT_TRUE(before.empty());
            continue;
        }
        ASSERT_EQ(before, std::vector<std::string>{hux::TicketTimeOutNoticationKey});
        if (*c.expected) {
            EXPECT_EQ(all.front().object.integer(), std::optional<int64_t>(**c.expected));
        } else {
            EXPECT_TRUE(all.front().object.isNull());
        }
    }
    // A removed record posts nothing.
    clear();
    ASSERT_TRUE(common::AccountModel::deleteCurrentModel());
    EXPECT_TRUE(postedBeforeSettle().empty());
    EXPECT_TRUE(testsupport::capturedLog().contains("monitor login.archive has changed"));
}

TEST_F(ZemUIFileListenerTest, ServerConfigurationChangeReloadsTheServersWithoutANotification) {
    auto& config = common::ZemServerConfig::sharedInstance();
    auto write = [](const std::string& host) {
        return archive::archiveRootObjectToFile(
            archive::Array{archive::Array{host, "443"}, archive::Array{host + ".out", "8443"},
                           archive::Array{host, "80"}},
            paths::serverConfigFile());
    };
    ASSERT_TRUE(write("10.0.0.1"));
    EXPECT_TRUE(postedBeforeSettle().empty());
    config.updateServerConfig();
    ASSERT_EQ(config.extranet_server(), std::optional<std::string>("10.0.0.1.out"));

    clear();
    ASSERT_TRUE(write("10.0.0.2"));
    EXPECT_TRUE(postedBeforeSettle().empty());
    EXPECT_TRUE(testsupport::capturedLog().has("monitor .ZemConfig has changed"));
    EXPECT_EQ(config.extranet_server(), std::optional<std::string>("10.0.0.2.out"));
    EXPECT_EQ(config.extranet_port(), 8443u);
}

TEST(ZemUIFileListenerPaths, WatchesTheTwelveFilesWithoutMakingTheRecordFolder) {
    testsupport::TempRoot root;
    root.signInAtScreen("root");
    fs::create_directories(root.at("/root"));
    auto watched = ZemUIFileListener::watchedPaths();
    ASSERT_EQ(watched.size(), 12u);
    EXPECT_EQ(watched[9], root.at("/root/Library/Application Support/RavAvizaL/login.archive"));
    EXPECT_EQ(watched[10], paths::machineSupportFolder() + "/hidezemswitch.archive");
    EXPECT_EQ(watched[11], paths::serverConfigFile());
    EXPECT_FALSE(fs::exists(root.at("/root/Library/Application Support/RavAvizaL")));
}

}  // namespace
