#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"
#include "daemon/remote/ScreenSharingService.h"

using hollin::ScreenSharingService;
using hollin::taskHelperRunner;

namespace fs = std::filesystem;

namespace {

// A temporary folder with a stand-in systemctl that records its arguments and keeps the
// unit's state in a file, run through the real command runner.
class FakeSystemctl : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("screen-sharing-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        tool = (dir / "systemctl").string();
        std::ofstream(tool)
            << "#!/bin/sh\n"
               "printf '%s|' \"$@\" >> '"
            << (dir / "calls").string()
            << "'\n"
               "printf '\\n' >> '"
            << (dir / "calls").string()
            << "'\n"
               "state='"
            << (dir / "state").string()
            << "'\n"
               "case \"$1\" in\n"
               "  enable) echo active > \"$state\" ;;\n"
               "  disable) echo inactive > \"$state\" ;;\n"
               "  is-active) if [ -f \"$state\" ]; then cat \"$state\"; else echo inactive; fi ;;\n"
               "esac\n";
        fs::permissions(tool, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string calls() const {
        return fs::exists(dir / "calls") ? testsupport::readText(dir / "calls") : "";
    }

    fs::path dir;
    std::string tool;
    std::vector<std::string> logs;
    std::function<void(const std::string&)> logger = [this](const std::string& l) { logs.push_back(l); };
};

TEST_F(FakeSystemctl, ConfiguredUnitIsSwitchedOnAndOffWithArgumentVectors) {
    ScreenSharingService service("x11vnc.service", taskHelperRunner(), logger, tool);
    ASSERT_TRUE(service.configured());
    EXPECT_FALSE(service.getRemoteServiceState());
    EXPECT_TRUE(service.activeRemoteService());
    EXPECT_TRUE(service.getRemoteServiceState());
    EXPECT_TRUE(service.inactiveRemoteService());
    EXPECT_FALSE(service.getRemoteServiceState());
    EXPECT_EQ(calls(),
              "is-active|x11vnc.service|\n"
              "enable|--now|x11vnc.service|\n"
              "is-active|x11vnc.service|\n"
              "is-active|x11vnc.service|\n"
              "disable|--now|x11vnc.service|\n"
              "is-active|x11vnc.service|\n"
              "is-active|x11vnc.service|\n");
}

TEST_F(FakeSystemctl, WithoutConfigurationNothingRunsAndActivationIsRefused) {
    for (const std::optional<std::string>& unit :
         {std::optional<std::string>(), std::optional<std::string>("x; rm -rf /.service")}) {
        ScreenSharingService service(unit, taskHelperRunner(), logger, tool);
        EXPECT_FALSE(service.configured());
        EXPECT_FALSE(service.activeRemoteService());
        EXPECT_FALSE(service.inactiveRemoteService());
        EXPECT_FALSE(service.getRemoteServiceState());
    }
    EXPECT_EQ(calls(), "");
    ASSERT_FALSE(logs.empty());
    EXPECT_NE(logs.front().find("refused"), std::string::npos);
}

TEST_F(FakeSystemctl, MissingProgramIsAFailureNotASuccess) {
    ScreenSharingService service("x11vnc.service", taskHelperRunner(), logger, (dir / "absent").string());
    EXPECT_FALSE(service.activeRemoteService());
    EXPECT_FALSE(service.getRemoteServiceState());
}

TEST(ScreenSharingConfig, UnitNamesAreCheckedAndReadFromTheFile) {
    struct Case {
        const char* name;
        bool valid;
    } cases[] = {
        {"x11vnc.service", true},
        {"vncserver@:1.service", true},
        {"gnome-remote-desktop.service", true},
        {"x11vnc", false},
        {".service", false},
        {"-x.service", false},
        {"a b.service", false},
        {"a/b.service", false},
        {"a;b.service", false},
        {"x11vnc.socket", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ScreenSharingService::validUnitName(c.name), c.valid) << c.name;

    const auto file = fs::temp_directory_path() / ("RemoteSession-" + std::to_string(::getpid()) + ".conf");
    std::ofstream(file) << "# comment\r\nOther=1\r\nScreenSharingUnit=x11vnc.service\r\n";
    EXPECT_EQ(ScreenSharingService::configuredUnit(file.string()), "x11vnc.service");
    std::ofstream(file) << "ScreenSharingUnit=$(reboot).service\n";
    EXPECT_EQ(ScreenSharingService::configuredUnit(file.string()), std::nullopt);
    fs::remove(file);
    EXPECT_EQ(ScreenSharingService::configuredUnit(file.string()), std::nullopt);
}

}  // namespace
