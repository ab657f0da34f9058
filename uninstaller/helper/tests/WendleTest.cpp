// Wendle's operations in a temporary root: what each stops or removes, the codes it answers and
// the lines it logs, links that must not lead it outside, and the processes it must leave alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "joindomain/scaffold/tests/HelperTestSupport.h"
#include "platform/archive/Plist.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "uninstaller/helper/Helper.h"
#include "uninstaller/helper/ProcessKill.h"

namespace fs = std::filesystem;

namespace {

class Wendle : public ::testing::Test {
  protected:
    void SetUp() override { ::umask(022); }
    void TearDown() override {
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    std::string log() {
        helper_->logger().flush();
        return testsupport::readText(paths::uninstallerLogsFolder() + "/RavAvizaUninstaller-Logger.log");
    }
    bool logged(const std::string& line) { return log().find(line + "\r\n") != std::string::npos; }

    int32_t call(void (wendle::Helper::*operation)(const wendle::Helper::Completion&)) {
        int32_t code = -999;
        (helper_.get()->*operation)([&code](int32_t c) { code = c; });
        return code;
    }

    // Starts a copy of the sleeper placed at program (argv[0] is its path).
    pid_t startProgram(const std::string& program, const std::vector<std::string>& args = {}) {
        if (!fs::exists(program)) {
            fs::create_directories(fs::path(program).parent_path());
            fs::copy_file(SLEEPER_EXECUTABLE, program);
        }
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            _exit(127);
        }
        children_.push_back(pid);
        // Running the program, not the forked copy of the test.
        EXPECT_TRUE(testsupport::eventually([&] {
            return testsupport::readText("/proc/" + std::to_string(pid) + "/cmdline").rfind(program, 0) == 0;
        }));
        return pid;
    }

    // A recording stand-in in the tool folder: appends its arguments to <root>/<name>.log.
    void fakeTool(const std::string& name, int status = 0) {
        testsupport::writeFile(paths::toolFolder() + "/" + name,
                               "#!/bin/sh\necho \"$*\" >> '" + root_.path() + "/" + name + ".log'\n" +
                                   (status ? "echo failing >&2\n" : "") + "exit " + std::to_string(status) +
                                   "\n",
                               0755);
    }
    std::string toolLog(const std::string& name) { return testsupport::readText(root_.file(name + ".log")); }

    testsupport::TempRoot root_{"wendle", 0755};
    testsupport::TempFolder outside_{"wendle-outside", 0755};
    std::unique_ptr<wendle::Helper> helper_ = std::make_unique<wendle::Helper>();
    std::vector<pid_t> children_;
};

// The product's folders and the user's, each with a file inside.
void makeProductFolders(const std::string& home) {
    for (const std::string& folder :
         {paths::machineLogsFolder() + "/v5/Logs", home + "/Library/Logs/RavAviza",
          paths::machineSupportFolder(), home + "/Library/Application Support/RavAvizaL",
          paths::productRoot() + "/AppUpgrade", paths::uiAppBundle() + "/Contents/MacOS"}) {
        testsupport::writeFile(folder + "/file", "x");
    }
}

TEST_F(Wendle, RemovesLogsCachesAndTheAppAndLogsEachStep) {
    const std::string home = root_.makeFolder("home/user");
    makeProductFolders(home);
    testsupport::writeFile(paths::localLibraryFolder() + "/Logs/Other/keep", "x");
    helper_->fetchHomeDirectory(home);

    EXPECT_EQ(call(&wendle::Helper::deleteZemLogsWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::deleteZemResourcesCacheWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::removeZemAppWithCompletion), 0);
    for (const std::string& gone :
         {paths::machineLogsFolder(), home + "/Library/Logs/RavAviza", paths::machineSupportFolder(),
          home + "/Library/Application Support/RavAvizaL", paths::productRootParent(),
          paths::applicationsFolder() + "/Hux"}) {
        EXPECT_FALSE(fs::exists(gone)) << gone;
    }
    EXPECT_TRUE(fs::exists(paths::localLibraryFolder() + "/Logs/Other/keep"));
    EXPECT_TRUE(fs::exists(home + "/Library/Logs"));
    for (const std::string& line : std::vector<std::string>{
             "[Info] ", " User home path: " + home,
             " Delete Zem system Logs result: ", " Delete Zem user Logs result: ",
             " Delete Zem system cache result: ", " Delete Zem user cache result: ",
             " Delete Zem user common cache result: ", " Remove Zem Application result: "}) {
        EXPECT_NE(log().find(line), std::string::npos) << line << "\n" << log();
    }

    // A second run finds nothing and still answers 0.
    EXPECT_EQ(call(&wendle::Helper::deleteZemLogsWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::deleteZemResourcesCacheWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::removeZemAppWithCompletion), 0);
    for (const char* line :
         {"Zem system Logs path is not existed.", "Zem user Logs path is not existed.",
          "Zem system cache path is not existed.", "Zem user cache path is not existed.",
          "Zem user common cache path is not existed.", "Zem application is not existed."}) {
        EXPECT_NE(log().find(line), std::string::npos) << line;
    }
}

TEST_F(Wendle, WithoutAHomeOnlyTheMachineFoldersGo) {
    const std::string home = root_.makeFolder("home/user");
    makeProductFolders(home);
    EXPECT_EQ(call(&wendle::Helper::deleteZemLogsWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::deleteZemResourcesCacheWithCompletion), 0);
    EXPECT_FALSE(fs::exists(paths::machineLogsFolder()));
    EXPECT_FALSE(fs::exists(paths::machineSupportFolder()));
    EXPECT_TRUE(fs::exists(home + "/Library/Logs/RavAviza/file"));
    EXPECT_TRUE(fs::exists(home + "/Library/Application Support/RavAvizaL/file"));
    EXPECT_NE(log().find("Zem user Logs path is not existed.\r\n"), std::string::npos);
}

TEST_F(Wendle, LinksInTheUsersFoldersAreNeverFollowed) {
    // What the links point at lies outside the root and must stay.
    const std::string target = outside_.makeFolder("target");
    testsupport::writeFile(target + "/Logs/RavAviza/precious", "keep");
    testsupport::writeFile(target + "/RavAvizaL/precious", "keep");
    testsupport::writeFile(target + "/inside/precious", "keep");
    struct Case {
        const char* name;
        std::function<void(const std::string& home)> arrange;
        bool libraryStaysALink;
    };
    const std::vector<Case> cases{
        {"Library is a link", [&](const std::string& home) { fs::create_symlink(target, home + "/Library"); },
         true},
        {"the removed folder is a link",
         [&](const std::string& home) {
             fs::create_directories(home + "/Library/Logs");
             fs::create_symlink(target + "/Logs/RavAviza", home + "/Library/Logs/RavAviza");
             fs::create_directories(home + "/Library/Application Support");
             fs::create_symlink(target + "/RavAvizaL", home + "/Library/Application Support/RavAvizaL");
         },
         false},
        {"a link inside the removed folder",
         [&](const std::string& home) {
             fs::create_directories(home + "/Library/Logs/RavAviza/deep");
             fs::create_symlink(target + "/inside", home + "/Library/Logs/RavAviza/deep/link");
             fs::create_directories(home + "/Library/Application Support/RavAvizaL");
             fs::create_symlink(target, home + "/Library/Application Support/RavAvizaL/link");
         },
         false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string home = root_.makeFolder("home/u" + std::to_string(n++));
        c.arrange(home);
        helper_->fetchHomeDirectory(home);
        EXPECT_EQ(call(&wendle::Helper::deleteZemLogsWithCompletion), 0) << c.name;
        EXPECT_EQ(call(&wendle::Helper::deleteZemResourcesCacheWithCompletion), 0) << c.name;
        for (const char* kept : {"/Logs/RavAviza/precious", "/RavAvizaL/precious", "/inside/precious"}) {
            EXPECT_EQ(testsupport::readText(target + kept), "keep") << c.name << ": " << kept;
        }
        if (c.libraryStaysALink) {
            EXPECT_TRUE(fs::is_symlink(home + "/Library")) << c.name;
        } else {
            // What stands where the folder should be goes, a link as itself, as rm -rf does.
            EXPECT_FALSE(fs::exists(fs::symlink_status(home + "/Library/Logs/RavAviza"))) << c.name;
            EXPECT_FALSE(fs::exists(fs::symlink_status(home + "/Library/Application Support/RavAvizaL")))
                << c.name;
        }
    }
}

TEST_F(Wendle, KillsTheProductsProcessesOfThisRootOnly) {
    fakeTool("ifconfig");
    const pid_t hux = startProgram(paths::uiAppExecutable());
    const pid_t upgrade = startProgram(paths::upgradeAppExecutable(), {"-upgrade"});
    const pid_t runner = startProgram(paths::upgradeAppExecutable() + "-copy/Marlet", {"-run"});
    const pid_t vpn = startProgram(paths::applicationsFolder() + "/Nimbrel.app/Contents/MacOS/Nimbrel");
    const pid_t join = startProgram(paths::domainJoinAppExecutable());
    // The same programs in another root are another installation's.
    const pid_t otherHux = startProgram(outside_.path() + "/Applications/Hux/Hux.app/Contents/MacOS/Hux");
    const pid_t otherVpn = startProgram(outside_.path() + "/Nimbrel");

    EXPECT_EQ(call(&wendle::Helper::closedZemProcessWithCompletion), 0);
    EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(hux); }));
    EXPECT_EQ(call(&wendle::Helper::closedZemUpgradeProcessWithCompletion), 0);
    EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(upgrade); }));
    EXPECT_EQ(call(&wendle::Helper::closedZemOtherProcessWithCompletion), 0);
    EXPECT_TRUE(
        testsupport::eventually([&] { return !testsupport::alive(vpn) && !testsupport::alive(join); }));
    EXPECT_TRUE(testsupport::alive(runner)) << "the policy runner runs without -upgrade";
    EXPECT_TRUE(testsupport::alive(otherHux));
    EXPECT_TRUE(testsupport::alive(otherVpn));
    EXPECT_EQ(toolLog("ifconfig"), "en0 down\nen0 up\nen1 down\nen1 up\n");
    for (const char* line : {"Closed Zem process result: ", "Closed Zem upgrade process result: ",
                             "Closed Zem Nimbrel process result: ", "Restart network result: ",
                             "Closed Zem Ducene process result: "}) {
        EXPECT_TRUE(logged(std::string(line))) << line << "\n" << log();
    }

    // Nothing left to kill: nothing happens and the answer is still 0.
    EXPECT_EQ(call(&wendle::Helper::closedZemProcessWithCompletion), 0);
    EXPECT_TRUE(testsupport::alive(otherHux));
}

TEST_F(Wendle, RestartFailureIsLoggedAndTheOperationStillAnswersZero) {
    fakeTool("ifconfig", 1);
    EXPECT_EQ(call(&wendle::Helper::closedZemOtherProcessWithCompletion), 0);
    EXPECT_NE(log().find("[Error] "), std::string::npos);
    EXPECT_NE(log().find("Restart network failed with error: {NSAppleScriptErrorBriefMessage = failing"),
              std::string::npos)
        << log();
    EXPECT_EQ(toolLog("ifconfig"), "en0 down\nen0 up\nen1 down\nen1 up\n") << "every step runs";
}

TEST_F(Wendle, QuitDomainRunsDsconfigadForTheHelpersOwnUser) {
    struct Case {
        int status;
        int32_t code;
        std::string line;
    };
    for (const Case& c : {Case{0, 0, "[Info] "}, Case{3, 3, "[Error] "}}) {
        fs::remove(root_.file("dsconfigad.log"));
        fakeTool("dsconfigad", c.status);
        EXPECT_EQ(call(&wendle::Helper::quitDomainWithCompletion), c.code);
        EXPECT_EQ(toolLog("dsconfigad"), "-f -r -u root -password \n");
    }
    EXPECT_NE(log().find("Quit domain result: \r\n"), std::string::npos) << log();
    EXPECT_NE(log().find("Quit domain failed with error: {NSAppleScriptErrorBriefMessage = failing; "
                         "NSAppleScriptErrorMessage = failing; NSAppleScriptErrorNumber = 3;}\r\n"),
              std::string::npos)
        << log();
}

TEST_F(Wendle, UnloadsTheFiveDaemonsInOrderAndAnswersTheLastStatus) {
    helpertest::Launchd launchd(root_.path());
    ASSERT_TRUE(launchd.start()) << launchd.log();
    fs::create_directories(paths::toolFolder());
    fs::create_symlink(LAUNCHCTL_EXECUTABLE, paths::toolFolder() + "/launchctl");
    const std::vector<std::string> labels{"com.velmora.Hollin.Daemon", "com.velmora.Stoven.Daemon",
                                          "com.velmora.Tamber.Daemon", "com.velmora.Marlet.Daemon",
                                          "com.velmora.Grebe.Daemon"};
    auto loadAll = [&](bool withLast) {
        for (const std::string& label : labels) {
            const std::string file = paths::launchDaemonsFolder() + "/" + label + ".plist";
            if (!withLast && label == labels.back()) {
                fs::remove(file);
                continue;
            }
            archive::Dictionary job{
                {"Label", label},
                {"ProgramArguments", archive::Array{std::string("/bin/sleep"), std::string("1000")}},
                {"RunAtLoad", true},
                {"KeepAlive", true}};
            fs::create_directories(paths::launchDaemonsFolder());
            ASSERT_TRUE(archive::writePlistFile(job, file));
            ASSERT_TRUE(launchd::client::load(file).ok());
        }
    };
    loadAll(true);
    ASSERT_EQ(launchd::client::list().jobs.size(), 5u);
    EXPECT_EQ(call(&wendle::Helper::unloadAllServiceProcessWithCompletion), 0);
    EXPECT_TRUE(launchd::client::list().jobs.empty());

    // The last job file missing: the earlier four still go, and the answer is launchctl's failure.
    loadAll(false);
    EXPECT_EQ(call(&wendle::Helper::unloadAllServiceProcessWithCompletion), 1);
    EXPECT_TRUE(launchd::client::list().jobs.empty());
    EXPECT_NE(log().find("Unload Zem all Daemons failed with error: "), std::string::npos) << log();
}

TEST(WendleMatching, CommandLinesMatchAsGrepWouldMatchThem) {
    struct Case {
        const char* line;
        const char* text;
        bool word;
        bool matches;
    };
    const std::vector<Case> cases{
        {"/Applications/Hux/Hux.app/Contents/MacOS/Hux", "Hux/Hux.app/Contents/MacOS/Hux", true, true},
        {"/Applications/Hux/Hux.app/Contents/MacOS/Hux -psn", "Hux/Hux.app/Contents/MacOS/Hux", true, true},
        {"/Applications/Hux/Hux.app/Contents/MacOS/HuxHelper", "Hux/Hux.app/Contents/MacOS/Hux", true, false},
        {"/x/MyHux/Hux.app/Contents/MacOS/Hux", "Hux/Hux.app/Contents/MacOS/Hux", true, false},
        {"/a/Marlet -upgrade -1", "upgrade", true, true},
        {"/a/Marlet -upgraded", "upgrade", true, false},
        {"/a/Marlet -run", "upgrade", true, false},
        {"/opt/NimbrelAgent", "Nimbrel", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.word ? wendle::containsWord(c.line, c.text) : wendle::containsText(c.line, c.text),
                  c.matches)
            << c.line << " / " << c.text;
    }
}

}  // namespace
