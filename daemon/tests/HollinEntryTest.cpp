// The entry's mode choice and exception handling, with the modes' work replaced.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "launch/HollinMain.h"
#include "logger/RotatingLogger.h"

namespace fs = std::filesystem;

namespace {

class HollinEntry : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/rav-entry-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
    }
    static void TearDownTestSuite() {  // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
        std::error_code ec;
        fs::remove_all(root_, ec);
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
        std::ifstream in(root_ / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static inline fs::path root_;
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

}  // namespace
