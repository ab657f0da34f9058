// What the left bar's tests share: the offscreen app with its main queue bound to Qt, a temporary
// root signed in at the screen as root, the client-API test server as every login server, manual
// time for the polls, and alerts read and dismissed.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "common/account/AccountModel.h"
#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ClientApiServer.h"
#include "tests/support/PortServer.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/tests/ModalTestSupport.h"
#include "ui/screens/controls/CustomButton.h"
#include "tests/support/QtTestApp.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/ticket/HollinProcessListener.h"

namespace leftbartest {

namespace fs = std::filesystem;

inline void startQt() {
    qttest::qtApp();
    static QtMainQueue* mainQueue = new QtMainQueue();
    (void)mainQueue;
}

// The text of the alert box a window shows, pressing its button; nothing when none came up.
class AlertReader {
  public:
    AlertReader()
        : modal_([this](QWidget* window) {
              if (auto* label = window->findChild<QLabel*>(QStringLiteral("messageLabel")))
                  text = label->text();
              if (auto* title = window->findChild<QLabel*>(QStringLiteral("titleLabel")))
                  this->title = title->text();
              if (auto* button = window->findChild<CustomButton*>(QStringLiteral("firstButton"))) {
                  buttonTitle = button->title();
                  button->click();
              }
              done = true;
          }) {}
    bool wait() {
        return qttest::waitFor([this] { return done && AppWindows::modalDepth() == 0; });
    }
    std::optional<QString> text;
    QString title;
    QString buttonTitle;
    bool done = false;

  private:
    qttest::WhenModal modal_;
};

class LeftBarTest : public ::testing::Test {
  protected:
    static constexpr const char* kScanStatusPath = "/api/public/clientlogin/scan_status";
    static constexpr const char* kTicketPath = "/api/public/clientlogin/ticket_auth";
    static constexpr const char* kLoginPath = "/api/public/clientlogin/account_login";
    static constexpr const char* kResetPath = "/api/public/clientlogin/resetpass";
    static constexpr const char* kLogoutPath = "/api/public/clientlogin/logout";

    void SetUp() override {
        startQt();
        testsupport::capturedLog().clear();
        root_.signInAtScreen("root");
        fs::create_directories(root_.path() + "/root");
        fs::create_directories(paths::machineSupportFolder());
        ASSERT_GT(server_.port(), 0);
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(server_.port())},
                           archive::Array{"127.0.0.1", std::to_string(testsupport::closedPort())},
                           archive::Array{"127.0.0.1", std::to_string(server_.port())}},
            paths::serverConfigFile()));
        common::ZemServerConfig::sharedInstance().updateServerConfig();

        auto& session = hux::RavAvizaLoginHelper::sharedInstance();
        session.setIsCheckAndShow(false);
        session.setLoginBlock({});
        hux::SessionPeers peers;
        peers.runTicketXPC = [] {};
        peers.closeQznServerXpc = [] {};
        peers.vpnRunning = [] { return false; };
        peers.admissionFollowUp = [](const std::string&, const std::string&) {};
        session.setPeers(peers);
        hux::HollinProcessListener::Steps steps;
        steps.Get_network_type = [] {};
        steps.iflogin = [] { return false; };
        steps.isCheckAndShow = [] { return false; };
        steps.checkXPCServiceIsReInital = [](std::function<void(bool)> done) { done(true); };
        steps.existNimbrel = [] {};
        steps.runTicketXPC = [] {};
        steps.reloadNimbrel = [] {};
        steps.nimbrelProcesses = [] { return std::vector<pid_t>{}; };
        hux::HollinProcessListener::sharedInstance().setSteps(steps);
    }

    void TearDown() override {
        // Session requests still under way land before the next test's root exists.
        qttest::waitFor([] { return false; }, std::chrono::milliseconds(50));
    }

    // Moves manual time on in steps of one second, letting the main queue run between steps.
    void tick(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            dispatch::ManualTime::advance(std::chrono::seconds(1));
            qttest::waitFor([] { return false; }, std::chrono::milliseconds(5));
        }
    }

    std::string statePath(const std::string& name) const {
        return root_.path() + "/root/Library/Application Support/RavAvizaL/" + name;
    }
    bool stateExists(const std::string& name) const { return fs::exists(statePath(name)); }

    static void storeRecord(const std::string& userid, const std::string& username, int64_t loginType) {
        common::AccountModel record;
        record.userid = userid;
        record.username = username;
        record.setTicket("TK-" + userid);
        record.loginType = loginType;
        ASSERT_TRUE(record.save());
    }

    // userlogin.archive with the two login modes and the one-time-code switch; a null mode is left out.
    static void writeLoginModes(std::optional<archive::Value> qr, std::optional<archive::Value> pc,
                                const char* otp = "0") {
        archive::Dictionary modes{{"double_factor_auth", otp}};
        if (qr) modes["qrcode_login"] = *qr;
        if (pc) modes["pc_account_login"] = *pc;
        ASSERT_TRUE(
            archive::archiveRootObjectToFile(modes, paths::machineSupportFolder() + "/userlogin.archive"));
    }

    testsupport::TempRoot root_{"leftbar-test", 0755};
    testsupport::ClientApiServer server_{root_.path() + "/server"};
    dispatch::ManualTime time_;
};

}  // namespace leftbartest
