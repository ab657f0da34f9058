// The restart prompt end to end over D-Bus: a private bus daemon, a stand-in for the desktop's
// notification centre on its own thread, the screen's centre on the Qt main thread, and the
// reboot asked of an administrator through a recording pkexec in the product's tool folder.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QThread>
#include <fstream>
#include <sstream>

#include "ComplianceFixture.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TestFiles.h"

// The desktop's notification centre as the freedesktop notification interface defines it:
// Notify answers a number, CloseNotification withdraws one; the test invokes actions.
class DesktopNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    struct Shown {
        uint id;
        QString summary;
        QString body;
        QStringList actions;
    };
    std::vector<Shown> shown() {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    std::vector<uint> closed() {
        std::lock_guard lock(mutex_);
        return closed_;
    }

  public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int) {
        std::lock_guard lock(mutex_);
        shown_.push_back({++next_, summary, body, actions});
        return next_;
    }
    void CloseNotification(uint id) {
        std::lock_guard lock(mutex_);
        closed_.push_back(id);
    }

  private:
    std::mutex mutex_;
    uint next_ = 0;
    std::vector<Shown> shown_;
    std::vector<uint> closed_;
};

namespace {

using namespace compliancetest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RestartPrompt : public ComplianceScreen {
  protected:
    void SetUp() override {
        ComplianceScreen::SetUp();
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
        const std::string socket = root_.file("bus");
        address_ = QString::fromStdString("unix:path=" + socket);
        spawn::Options options;
        options.program = "/usr/bin/dbus-daemon";
        options.argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                        "--address=unix:path=" + socket};
        daemon_ = spawn::start(options);
        ASSERT_TRUE(daemon_);
        ASSERT_TRUE(testsupport::eventually([&] { return fs::exists(socket); }));

        serverThread_.start();
        desktop_ = std::make_unique<DesktopNotifications>();
        desktop_->moveToThread(&serverThread_);
        QDBusConnection server = QDBusConnection::connectToBus(address_, "desktop");
        ASSERT_TRUE(server.isConnected());
        ASSERT_TRUE(server.registerObject(UserNotificationCenter::kPath, desktop_.get(),
                                          QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(server.registerService(UserNotificationCenter::kService));
        QDBusConnection client = QDBusConnection::connectToBus(address_, "app");
        ASSERT_TRUE(client.isConnected());
        notifications_ = std::make_unique<UserNotificationCenter>(client);
    }

    void TearDown() override {
        ComplianceScreen::TearDown();
        notifications_.reset();
        QDBusConnection::disconnectFromBus("app");
        QDBusConnection::disconnectFromBus("desktop");
        serverThread_.quit();
        serverThread_.wait();
        desktop_.reset();
        if (daemon_) {
            ::kill(daemon_->pid, SIGTERM);
            ::waitpid(daemon_->pid, nullptr, 0);
        }
    }

    // The desktop reports that the user chose an action of a notification.
    void invoke(uint id, const char* action) {
        QDBusMessage signal = QDBusMessage::createSignal(UserNotificationCenter::kPath,
                                                         UserNotificationCenter::kService, "ActionInvoked");
        signal << id << QString(action);
        ASSERT_TRUE(QDBusConnection(QStringLiteral("desktop")).send(signal));
    }

    QString address_;
    std::optional<spawn::Child> daemon_;
    QThread serverThread_;
    std::unique_ptr<DesktopNotifications> desktop_;
};

TEST_F(RestartPrompt, ActionButtonRebootsThroughTheAdministratorPrompt) {
    const std::string record = root_.file("pkexec.args");
    testsupport::writeFile(paths::toolFolder() + "/pkexec", "#!/bin/sh\necho \"$@\" >> '" + record + "'\n",
                           0755);
    ZemMainViewController::Options o;
    o.checker = checker_.get();
    o.notifications = notifications_.get();
    o.domainLoginDelay = std::nullopt;
    o.fetchGeneralConfig = false;
    o.checkAtStart = false;
    screen_ = std::make_unique<ZemMainViewController>(o);

    std::thread([] {
        dispatch::NotificationCenter::defaultCenter().post("kRestartComputorNotification");
    }).join();
    ASSERT_TRUE(qttest::waitFor([&] { return notifications_->scheduledNotifications().size() == 1; }));
    const auto shown = desktop_->shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].summary, "Zem提醒");
    EXPECT_EQ(shown[0].body, "安全策略下发异常，请重启系统激活设置");
    EXPECT_EQ(shown[0].actions, (QStringList{"default", "Zem提醒", "action", "立即重启", "other", "取消"}));

    auto prompt = [this] {
        const size_t before = desktop_->shown().size();
        std::thread([] {
            dispatch::NotificationCenter::defaultCenter().post("kRestartComputorNotification");
        }).join();
        EXPECT_TRUE(qttest::waitFor([&] { return notifications_->scheduledNotifications().size() == 1; }));
        EXPECT_EQ(desktop_->shown().size(), before + 1);
        return desktop_->shown().back().id;
    };
    auto activated = [this] {
        return qttest::waitFor([&] { return notifications_->scheduledNotifications().empty(); });
    };

    // The other button and a click on the notification reboot nothing.
    invoke(shown[0].id, "other");
    ASSERT_TRUE(activated());
    invoke(prompt(), "default");
    ASSERT_TRUE(activated());
    EXPECT_TRUE(readText(record).empty());

    invoke(prompt(), "action");
    ASSERT_TRUE(activated());
    ASSERT_TRUE(qttest::waitFor([&] { return !readText(record).empty(); }));
    EXPECT_EQ(readText(record), "/sbin/reboot\n");

    // A new screen withdraws the prompt still shown.
    const uint left = prompt();
    makeScreen();
    ASSERT_TRUE(qttest::waitFor([&] { return !desktop_->closed().empty(); }));
    EXPECT_EQ(desktop_->closed(), std::vector<uint>{left});
}

}  // namespace

#include "RestartPromptTest.moc"
