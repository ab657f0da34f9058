// The entry's mode choice and exception handling, with the modes' work replaced.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/WorkQueue.h"
#include "daemon/launch/HollinMain.h"
#include "common/logger/RotatingLogger.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;
using hollin::HollinModes;
using hollin::gHollinModeArgument;
using hollin::hollinMain;

namespace fs = std::filesystem;

namespace {

class HollinEntry : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<testsupport::TempRoot>("rav-entry");
    }
    static void TearDownTestSuite() {  // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
        root_.reset();
    }
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "modes other than -version need root";
    }

    HollinModes recording() {
        HollinModes m;
        m.install = [this] { called_ += "install "; };
        m.launch = [this] { called_ += "launch "; };
        m.protect = [this] { called_ += "protect "; };
        m.run = [this] { called_ += "run "; };
        return m;
    }

    static std::string logText() {
        LogCoreHelper::sharedInstance().flush();
        std::ifstream in(root_->file("Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log"));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static inline std::unique_ptr<testsupport::TempRoot> root_;
    std::string called_;
};

TEST_F(HollinEntry, FirstArgumentChoosesTheModeInAnyLetterCase) {
    struct Case {
        std::vector<const char*> argv;
        int status;
        std::string called;
    } cases[] = {
        {{"Hollin"}, 0, ""},
        {{"Hollin", "-Version"}, 1, ""},
        {{"Hollin", "-INSTALL"}, 1, "install "},
        {{"Hollin", "-launch", "-run"}, 1, "launch "},
        {{"Hollin", "-Protect"}, 0, "protect "},
        {{"Hollin", "-RUN"}, 0, "run "},
        {{"Hollin", "run"}, 0, ""},
        {{"Hollin", ""}, 0, ""},
    };
    for (const auto& c : cases) {
        called_.clear();
        EXPECT_EQ(hollinMain(static_cast<int>(c.argv.size()), c.argv.data(), recording()), c.status)
            << (c.argv.size() > 1 ? c.argv[1] : "(none)");
        EXPECT_EQ(called_, c.called);
    }
    EXPECT_EQ(gHollinModeArgument, "");  // the last case's argument, kept as typed
}

TEST_F(HollinEntry, ExceptionEscapingTheModeExitsWith253) {
    HollinModes m;
    m.run = [] { throw std::runtime_error("boom"); };
    const char* argv[] = {"Hollin", "-run"};
    EXPECT_EQ(hollinMain(2, argv, m), 253);
    std::string log = logText();
    EXPECT_NE(log.find("-------------------- Hollin run --------------------"), std::string::npos);
    EXPECT_TRUE(
        log.ends_with("-------------------- Hollin process has exception  -------------------------- \n"))
        << log;
}

TEST(HollinEntryDeathTest, ExceptionEscapingQueueWorkIsLoggedAndEndsTheProcessWith253) {
    if (::getuid() != 0) GTEST_SKIP() << "the -run mode needs root";
    // The child is a fresh start of this program, so no thread of this one is forked; it logs
    // into a root named after its parent, this process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string prefix = "/tmp/rav-entry-fault-";
    fs::path root = prefix + std::to_string(::getpid());
    fs::create_directories(root);
    auto child = [&prefix] {
        std::string dir = prefix + std::to_string(::getppid());
        setenv("RAVAVIZA_ROOT", dir.c_str(), 1);
        HollinModes m;
        m.run = [] {
            dispatch::WorkQueue::create("com.velmora.test.fault")->dispatch([] {
                throw std::runtime_error("queue boom");
            });
            dispatch::MainLoop::shared().run();
        };
        const char* argv[] = {"Hollin", "-run"};
        std::exit(hollinMain(2, argv, m));
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(253), "");

    std::ifstream in(root / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log");
    std::stringstream ss;
    ss << in.rdbuf();
    std::string log = ss.str();
    EXPECT_NE(log.find("-------------------- Hollin process has exception  --------------------------"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("queue \"com.velmora.test.fault\": queue boom"), std::string::npos) << log;
    std::error_code ec;
    fs::remove_all(root, ec);
}

}  // namespace
