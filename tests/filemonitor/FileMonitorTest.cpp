// The file monitor in a temporary root with real inotify streams: each watched file's change is
// handled once per batch, every changed file of a batch is handled, and the console user's
// debug switch sets the automatic-proxy state through the networksetup stand-in, whose nmcli
// calls a recording stand-in writes down.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "daemon/filemonitor/ZemFileMonitor.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "tests/support/CapturingLog.h"

using common::LogSink;
using hollin::ZemFileMonitor;
using hollin::ZemFileMonitorHelper;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class RecordingHelper : public ZemFileMonitorHelper {
  public:
    void existWaterMark() override { ++watermarkKills; }
    bool isUserAppExist() override { return appRuns.load(); }
    void launchZem(int reason) override {
        ++launches;
        lastReason = reason;
    }
    std::atomic<int> watermarkKills{0};
    std::atomic<int> launches{0};
    std::atomic<int> lastReason{0};
    std::atomic<bool> appRuns{false};
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return testsupport::eventually(condition, limit);
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Writes a sibling and renames it over path, as editors and atomic writers do.
void replaceFile(const fs::path& path, const std::string& text) {
    fs::path temp = path.parent_path() / ("." + path.filename().string() + ".tmp");
    writeFile(temp, text);
    fs::rename(temp, path);
}

// The services the recording nmcli lists: one too short to count, one with an escaped colon, one
// that would run a command if it ever reached a shell.
constexpr const char* kNmcliScript = R"(#!/bin/sh
{ for a in "$@"; do printf '[%s]' "$a"; done; echo; } >> "$RAVAVIZA_ROOT/nmcli.log"
if [ "$1" = "-t" ]; then
  printf '%s\n' 'Wired connection 1' 'ab' 'Office\:5' 'x"; touch "$RAVAVIZA_ROOT/pwned"; "y'
fi
)";

const std::vector<std::string> kServices = {"Wired connection 1", "Office:5",
                                            "x\"; touch \"$RAVAVIZA_ROOT/pwned\"; \"y"};

class FileMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::capturedLog();
        home_ = *paths::homeFolder("root");
        fs::create_directories(home_);
        fs::create_directories(fs::path(paths::serverConfigFile()).parent_path());
        fs::create_directories(fs::path(ZemFileMonitor::loginWindowPath()).parent_path());
        fs::create_directories(paths::toolFolder());
        fs::create_symlink(RAVAVIZA_TEST_BINARY_DIR "/platform/tools/networksetup/networksetup",
                           paths::toolFolder() + "/networksetup");
        fs::create_directories(root_ / "usr/bin");
        writeFile(root_ / "usr/bin/nmcli", kNmcliScript);
        fs::permissions(root_ / "usr/bin/nmcli", fs::perms::owner_all);
    }

    void TearDown() override {
        monitor_.reset();
    }

    void startMonitor(std::chrono::milliseconds latency, std::optional<std::string> owner) {
        setOwner(std::move(owner));
        ZemFileMonitor::Options options;
        options.latency = latency;
        options.consoleOwner = [this] {
            std::lock_guard<std::mutex> lock(ownerLock_);
            return owner_;
        };
        options.updateServerConfig = [this] { ++configReloads_; };
        monitor_ = std::make_unique<ZemFileMonitor>(helper_, options);
        monitor_->startListenFileChange();
        monitor_->waitUntilIdle();
    }

    void setOwner(std::optional<std::string> owner) {
        std::lock_guard<std::mutex> lock(ownerLock_);
        owner_ = std::move(owner);
    }

    std::vector<std::string> nmcliCalls() const {
        std::vector<std::string> calls;
        std::ifstream in(root_ / "nmcli.log");
        for (std::string line; std::getline(in, line);) calls.push_back(line);
        return calls;
    }

    // The nmcli calls of one proxy change to state: the listing, then each service in order.
    static std::vector<std::string> expectedCalls(const std::string& method) {
        std::vector<std::string> calls{"[-t][-f][NAME][connection][show]"};
        for (const auto& s : kServices)
            calls.push_back("[connection][modify][id][" + s + "][proxy.method][" + method + "]");
        return calls;
    }

    fs::path debugFolder() const { return fs::path(home_) / ".AppData/RavAviza/RavAviza.EXE$"; }

    testsupport::TempRoot tempRoot_{"filemonitor"};
    fs::path root_ = tempRoot_.path();
    std::string home_;
    RecordingHelper helper_;
    std::atomic<int> configReloads_{0};
    std::mutex ownerLock_;
    std::optional<std::string> owner_;
    std::unique_ptr<ZemFileMonitor> monitor_;
};

TEST_F(FileMonitorTest, EachChangedFileIsHandledOncePerBatch) {
    startMonitor(1s, std::nullopt);
    const fs::path config = paths::serverConfigFile();
    const fs::path seat = ZemFileMonitor::loginWindowPath();

    // One window: .ZemConfig replaced atomically and then written in place, the seat record written.
    replaceFile(config, "a");
    writeFile(config, "b");
    writeFile(seat, "ACTIVE_UID=0\n");
    ASSERT_TRUE(waitFor([&] { return configReloads_ >= 1 && helper_.watermarkKills >= 1; }));

    // A later change of the seat alone: once it is handled, every event of the first window has been.
    writeFile(seat, "ACTIVE_UID=1000\n");
    ASSERT_TRUE(waitFor([&] { return helper_.watermarkKills >= 2; }));
    monitor_->waitUntilIdle();
    EXPECT_EQ(configReloads_, 1);
    EXPECT_EQ(helper_.watermarkKills, 2);
    // The UI app was not running: the console-user kill was asked for with 1 on each login change.
    EXPECT_EQ(helper_.launches, 2);
    EXPECT_EQ(helper_.lastReason, 1);
    EXPECT_EQ(testsupport::capturedLog().count("file monitor change callback: " + config.string()), 1u);

    // An atomic replace alone is a change too; a running UI app means no console-user kill.
    helper_.appRuns = true;
    replaceFile(config, "c");
    ASSERT_TRUE(waitFor([&] { return configReloads_ >= 2; }));
    writeFile(seat, "ACTIVE_UID=0\n");
    ASSERT_TRUE(waitFor([&] { return helper_.watermarkKills >= 3; }));
    monitor_->waitUntilIdle();
    EXPECT_EQ(configReloads_, 2);
    EXPECT_EQ(helper_.launches, 2);
}

TEST_F(FileMonitorTest, DebugSwitchSetsTheAutoProxyStateOfEveryService) {
    startMonitor(300ms, "root");
    const fs::path debug = debugFolder() / "debug.config";
    ASSERT_TRUE(waitFor([&] { return monitor_->debugStreamPath() == debug.string(); }));
    EXPECT_TRUE(fs::is_directory(debugFolder()));

    fs::path elsewhere = root_ / "elsewhere";
    writeFile(elsewhere, "1");
    struct Case {
        const char* what;
        std::function<void()> change;
        const char* method;
    };
    const Case cases[] = {
        {"exactly 1 turns the proxy off", [&] { writeFile(debug, "1"); }, "none"},
        {"0 turns it on", [&] { writeFile(debug, "0"); }, "auto"},
        {"1 replaced atomically", [&] { replaceFile(debug, "1"); }, "none"},
        {"1 and a line break is not exactly 1", [&] { writeFile(debug, "1\n"); }, "auto"},
        {"deletion turns it off", [&] { fs::remove(debug); }, "none"},
        {"empty text turns it on", [&] { writeFile(debug, ""); }, "auto"},
        {"text not UTF-8 turns it on",
         [&] {
             writeFile(debug, "1");
             writeFile(debug, "\xff");
         },
         "auto"},
        {"deleted again", [&] { fs::remove(debug); }, "none"},
        // A link is not followed: the switch is there but unreadable, which means on.
        {"a link to a file holding 1 is refused", [&] { fs::create_symlink(elsewhere, debug); }, "auto"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(root_ / "nmcli.log");
        c.change();
        const std::vector<std::string> expected = expectedCalls(c.method);
        ASSERT_TRUE(waitFor([&] { return nmcliCalls().size() >= expected.size(); }));
        monitor_->waitUntilIdle();
        EXPECT_EQ(nmcliCalls(), expected);
    }
    EXPECT_FALSE(fs::exists(root_ / "pwned"));
    EXPECT_TRUE(testsupport::capturedLog().contains("debug state monitor file callback: file is not exist"));
    EXPECT_TRUE(testsupport::capturedLog().contains("debug state monitor change callback: " + debug.string() + "  0 "));
    EXPECT_TRUE(
        testsupport::capturedLog().contains("[configPacState] set network /usr/sbin/networksetup -setautoproxystate "
                                "\"Office:5\" \"off\" autoproxystate."));
}

TEST_F(FileMonitorTest, LoginChangeFollowsTheNewConsoleOwner) {
    // Nobody signed in at start: no debug stream, no folders made.
    startMonitor(300ms, std::nullopt);
    EXPECT_FALSE(monitor_->debugStreamPath());
    EXPECT_FALSE(fs::exists(debugFolder()));

    setOwner("root");
    writeFile(ZemFileMonitor::loginWindowPath(), "ACTIVE_UID=0\n");
    const fs::path debug = debugFolder() / "debug.config";
    ASSERT_TRUE(waitFor([&] { return monitor_->debugStreamPath() == debug.string(); }));

    writeFile(debug, "1");
    ASSERT_TRUE(waitFor([&] { return nmcliCalls().size() >= expectedCalls("none").size(); }));
    monitor_->waitUntilIdle();
    EXPECT_EQ(nmcliCalls(), expectedCalls("none"));

    // Signed out: the stream is dropped, and a change of the old switch does nothing.
    setOwner(std::nullopt);
    writeFile(ZemFileMonitor::loginWindowPath(), "\n");
    ASSERT_TRUE(waitFor([&] { return !monitor_->debugStreamPath(); }));
    fs::remove(root_ / "nmcli.log");
    writeFile(debug, "0");
    // The seat record again: once its batch is handled, the switch's would have been too.
    int kills = helper_.watermarkKills;
    writeFile(ZemFileMonitor::loginWindowPath(), "\n\n");
    ASSERT_TRUE(waitFor([&] { return helper_.watermarkKills > kills; }));
    monitor_->waitUntilIdle();
    EXPECT_TRUE(nmcliCalls().empty());
}

TEST_F(FileMonitorTest, MissingToolIsLoggedAndLaterChangesStillWork) {
    startMonitor(300ms, "root");
    fs::remove(paths::toolFolder() + "/networksetup");
    monitor_->configPacState("off");
    monitor_->waitUntilIdle();
    EXPECT_TRUE(testsupport::capturedLog().contains(
        "[configPacState] get network service. state: off . res:   error: networksetup is missing"));
    fs::create_symlink(RAVAVIZA_TEST_BINARY_DIR "/platform/tools/networksetup/networksetup",
                       paths::toolFolder() + "/networksetup");
    monitor_->configPacState("on");
    monitor_->waitUntilIdle();
    EXPECT_EQ(nmcliCalls(), expectedCalls("auto"));
}

}  // namespace
