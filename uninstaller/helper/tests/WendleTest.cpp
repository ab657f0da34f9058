// Wendle's operations in a temporary root: what each stops or removes, the codes it answers and
// the lines it logs, links that must not lead it outside, and the processes it must leave alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "joindomain/scaffold/tests/HelperTestSupport.h"
#include "platform/archive/Plist.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "uninstaller/helper/Helper.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

using testsupport::exeOf;

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

    // Runs file with argv as user (the test's own when not given), once it has left the test.
    pid_t startAs(const std::string& file, std::vector<std::string> argv, std::optional<uid_t> user = {}) {
        const pid_t pid = testsupport::startProgram(file, std::move(argv), user);
        if (pid > 0) children_.push_back(pid);
        EXPECT_GT(pid, 0);
        return pid;
    }

    // A copy of the sleeper at program, replacing what is there.
    static void placeProgram(const std::string& program) {
        fs::create_directories(fs::path(program).parent_path());
        fs::copy_file(SLEEPER_EXECUTABLE, program, fs::copy_options::overwrite_existing);
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

TEST_F(Wendle, KillsTheProductsProgramsOfEveryUserAndNothingThatOnlyNamesThem) {
    fakeTool("nmcli");
    const std::string hux = paths::uiAppExecutable();
    const std::string upgrade = paths::upgradeAppExecutable();
    const std::string agent = paths::vpnAgentExecutable();
    const std::string join = paths::domainJoinAppExecutable();
    // The policy runner's program has the upgrade app's file name.
    const std::string runner = paths::uiAppResources() + "/Marlet.app/Contents/MacOS/Marlet";
    const std::string otherHux = outside_.path() + "/Applications/Hux/Hux.app/Contents/MacOS/Hux";
    for (const std::string& program : {hux, upgrade, agent, join, runner, otherHux}) placeProgram(program);
    // What another user has open or runs under the product's names.
    const std::string notes = outside_.path() + "/Ducene-notes.txt";
    testsupport::writeFile(notes, "notes\n", 0644);
    const std::string productLog = paths::machineLogsFolder() + "/Ducene-Logger.log";
    testsupport::writeFile(productLog, "log\n", 0644);
    fs::create_symlink("/bin/sleep", outside_.path() + "/Ducene");

    struct Case {
        const char* what;
        std::string file;
        std::vector<std::string> argv;
        std::optional<uid_t> user;
        bool ends;
    };
    const std::vector<Case> cases{
        {"the UI app", hux, {hux}, {}, true},
        {"another user's UI app", hux, {hux}, kNobody, true},
        {"the upgrade app", upgrade, {upgrade, "-upgrade", "-1"}, {}, true},
        {"the VPN agent", agent, {agent, ""}, {}, true},
        {"the domain-join app", join, {join}, {}, true},
        {"the policy runner", runner, {runner, "-runTimer"}, {}, false},
        {"the UI app of another installation", otherHux, {otherHux}, {}, false},
        {"sleep through a link named like the product",
         outside_.path() + "/Ducene",
         {"Ducene", "1000"},
         kNobody,
         false},
        {"sleep named like the product",
         "/bin/sleep",
         {"Ducene", "1000"},
         kNobody,
         false},
        {"sleep named with the UI app's path",
         "/bin/sleep",
         {hux, "1000"},
         kNobody,
         false},
        {"tail of a file named like the product", "/usr/bin/tail", {"tail", "-f", notes}, kNobody, false},
        {"tail of the product's log", "/usr/bin/tail", {"tail", "-f", productLog}, {}, false},
    };
    std::vector<pid_t> pids;
    for (const Case& c : cases) pids.push_back(startAs(c.file, c.argv, c.user));

    EXPECT_EQ(call(&wendle::Helper::closedZemProcessWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::closedZemUpgradeProcessWithCompletion), 0);
    EXPECT_EQ(call(&wendle::Helper::closedZemOtherProcessWithCompletion), 0);
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].ends) {
            EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(pids[i]); }))
                << cases[i].what;
        } else {
            EXPECT_TRUE(testsupport::alive(pids[i])) << cases[i].what;
        }
    }
    for (const char* line : {"Closed Zem process result: ", "Closed Zem upgrade process result: ",
                             "Closed Zem Nimbrel process result: ", "Restart network result: ",
                             "Closed Zem Ducene process result: "}) {
        EXPECT_TRUE(logged(std::string(line))) << line << "\n" << log();
    }

    // Nothing left to kill: nothing happens and the answer is still 0.
    EXPECT_EQ(call(&wendle::Helper::closedZemProcessWithCompletion), 0);
    EXPECT_TRUE(testsupport::alive(pids.back()));
}

TEST_F(Wendle, RestartsNetworkingThroughNetworkManagerOnlyAfterEndingTheVpnAgent) {
    fakeTool("ifconfig");
    const std::string agent = paths::vpnAgentExecutable();
    struct Case {
        const char* what;
        bool agentRuns;
        bool agentFileReplaced;  // an update renamed a new copy over it while it ran
        int nmcliStatus;
        const char* restartLine;  // null: no restart
    };
    const std::vector<Case> cases{
        {"no agent", false, false, 0, nullptr},
        {"agent", true, false, 0, "Restart network result: "},
        {"agent whose file was replaced", true, true, 0, "Restart network result: "},
        {"nmcli failing", true, false, 1,
         "Restart network failed with error: {NSAppleScriptErrorBriefMessage = failing\nfailing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(root_.file("nmcli.log"));
        fakeTool("nmcli", c.nmcliStatus);
        const size_t logStart = log().size();
        pid_t pid = -1;
        if (c.agentRuns) {
            placeProgram(agent);
            pid = startAs(agent, {agent, ""});
            if (c.agentFileReplaced) {
                placeProgram(agent + ".new");
                fs::rename(agent + ".new", agent);
            }
        }
        EXPECT_EQ(call(&wendle::Helper::closedZemOtherProcessWithCompletion), 0);
        const std::string lines = log().substr(logStart);
        EXPECT_NE(lines.find("Closed Zem Nimbrel process result: "), std::string::npos) << lines;
        if (c.restartLine) {
            EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(pid); }));
            EXPECT_EQ(toolLog("nmcli"), "networking off\nnetworking on\n")
                << "on is asked for even after a failure";
            EXPECT_NE(lines.find(c.restartLine), std::string::npos) << lines;
        } else {
            EXPECT_EQ(toolLog("nmcli"), "");
            EXPECT_EQ(lines.find("Restart network"), std::string::npos) << lines;
        }
    }
    EXPECT_EQ(toolLog("ifconfig"), "") << "no interface names of another system";
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
    for (const std::string& label : labels) {
        EXPECT_FALSE(fs::exists(paths::launchDaemonsFolder() + "/" + label + ".plist"))
            << label << ": a job file left behind is loaded again at the next start";
    }

    // The last job file missing: the earlier four still go, and the answer is launchctl's failure.
    loadAll(false);
    EXPECT_EQ(call(&wendle::Helper::unloadAllServiceProcessWithCompletion), 1);
    EXPECT_TRUE(launchd::client::list().jobs.empty());
    EXPECT_NE(log().find("Unload Zem all Daemons failed with error: "), std::string::npos) << log();
}

// A job file as Hollin -install writes them: root's, running the sleeper under a label.
void writeJob(const std::string& label, const std::string& program) {
    archive::Dictionary job{{"Label", label},
                            {"ProgramArguments", archive::Array{program, std::string("1000")}},
                            {"RunAtLoad", true},
                            {"KeepAlive", true}};
    fs::create_directories(paths::launchDaemonsFolder());
    ASSERT_TRUE(archive::writePlistFile(job, paths::launchDaemonsFolder() + "/" + label + ".plist"));
}

const std::vector<std::string>& productLabels() {
    static const std::vector<std::string> labels{"com.velmora.Hollin.Daemon", "com.velmora.Stoven.Daemon",
                                                 "com.velmora.Tamber.Daemon", "com.velmora.Marlet.Daemon",
                                                 "com.velmora.Grebe.Daemon"};
    return labels;
}

// Files and empty folders below root's top folders, as paths relative to root.
std::vector<std::string> treeOf(const std::string& root) {
    std::vector<std::string> out;
    for (const char* top : {"Applications", "Library", "Users", "home"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root + "/" + top, ec); !ec && it != fs::end(it);
             it.increment(ec)) {
            if (it->is_directory() && !it->is_symlink() && !fs::is_empty(it->path())) continue;
            out.push_back(fs::relative(it->path(), root).string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(Wendle, AJobStillLoadedKeepsItsFileForTheNextRun) {
    // A launchd that refuses every unload and still lists each job.
    testsupport::writeFile(paths::toolFolder() + "/launchctl",
                           "#!/bin/sh\necho \"$*\" >> '" + root_.path() +
                               "/launchctl.log'\n"
                               "[ \"$1\" = list ] && exit 0\necho refused >&2\nexit 1\n",
                           0755);
    for (const std::string& label : productLabels()) writeJob(label, SLEEPER_EXECUTABLE);
    EXPECT_EQ(call(&wendle::Helper::unloadAllServiceProcessWithCompletion), 1);
    for (const std::string& label : productLabels()) {
        EXPECT_TRUE(fs::exists(paths::launchDaemonsFolder() + "/" + label + ".plist")) << label;
    }
    EXPECT_NE(toolLog("launchctl").find("list com.velmora.Grebe.Daemon\n"), std::string::npos);
}

TEST_F(Wendle, AnUninstallCutShortIsFinishedByTheNextRun) {
    helpertest::Launchd launchd(root_.path());
    ASSERT_TRUE(launchd.start()) << launchd.log();
    fs::create_directories(paths::toolFolder());
    fs::create_symlink(LAUNCHCTL_EXECUTABLE, paths::toolFolder() + "/launchctl");
    fakeTool("nmcli");
    const std::string home = root_.makeFolder("home/user");
    const std::string helperLabel = "com.velmora.Wendle";

    // The product as installed and running, with what is not the product's around it.
    auto install = [&] {
        makeProductFolders(home);
        for (const std::string& label : productLabels()) {
            writeJob(label, SLEEPER_EXECUTABLE);
            ASSERT_TRUE(launchd::client::load(paths::launchDaemonsFolder() + "/" + label + ".plist").ok());
        }
        placeProgram(paths::uiAppExecutable());
        startAs(paths::uiAppExecutable(), {paths::uiAppExecutable()});
        placeProgram(paths::installedHelper(helperLabel));
        writeJob(helperLabel, paths::installedHelper(helperLabel));
        writeJob("com.nimbrel.vpnagentd", SLEEPER_EXECUTABLE);
        placeProgram(paths::uninstallerAppExecutable());
        for (const std::string& kept : {home + "/Documents/keep", home + "/Library/Logs/Other/keep",
                                        paths::localLibraryFolder() + "/Logs/Other/keep",
                                        paths::localLibraryFolder() + "/Application Support/Other/keep"})
            testsupport::writeFile(kept, "x");
    };
    auto unloadAll = [&](size_t count, bool removeFiles) {
        for (size_t i = 0; i < count; ++i) {
            const std::string file = paths::launchDaemonsFolder() + "/" + productLabels()[i] + ".plist";
            ASSERT_TRUE(launchd::client::unload(file).ok());
            if (removeFiles) fs::remove(file);
        }
    };
    // The uninstall as the app sends it.
    auto uninstall = [&] {
        helper_->fetchHomeDirectory(home);
        for (auto operation :
             {&wendle::Helper::unloadAllServiceProcessWithCompletion,
              &wendle::Helper::closedZemUpgradeProcessWithCompletion,
              &wendle::Helper::closedZemOtherProcessWithCompletion,
              &wendle::Helper::closedZemProcessWithCompletion,
              &wendle::Helper::deleteZemResourcesCacheWithCompletion,
              &wendle::Helper::deleteZemLogsWithCompletion, &wendle::Helper::removeZemAppWithCompletion}) {
            call(operation);
        }
    };

    struct Case {
        const char* what;
        std::function<void()> firstRun;  // what the run that was cut short got done
    };
    const std::vector<Case> cases{
        {"no earlier run", [] {}},
        {"an earlier version unloaded the jobs and left their files", [&] { unloadAll(5, false); }},
        {"cut short between two unloads", [&] { unloadAll(2, true); }},
        {"cut short inside the machine data folder",
         [&] {
             unloadAll(5, true);
             fs::remove_all(paths::productRootParent());
             fs::remove_all(paths::machineSupportFolder() + "/file");
         }},
        {"cut short right after the app's bundle went",
         [&] {
             unloadAll(5, true);
             for (const std::string& gone :
                  {paths::productRootParent(), paths::machineSupportFolder(), paths::machineLogsFolder(),
                   home + "/Library/Logs/RavAviza", home + "/Library/Application Support/RavAvizaL",
                   paths::uiAppBundle()})
                 fs::remove_all(gone);
         }},
    };
    const std::vector<std::string> remains{
        "Applications/Quillet.app/Contents/MacOS/Quillet",
        "Library/Application Support/Other/keep",
        "Library/LaunchDaemons/com.nimbrel.vpnagentd.plist",
        "Library/LaunchDaemons/com.velmora.Wendle.plist",
        "Library/Logs/Other/keep",
        "Library/Logs/RavAvizaUninstaller/RavAvizaUninstaller-Logger.log",
        "Library/PrivilegedHelperTools/com.velmora.Wendle",
        "Users/.AllUsers",
        "home/user/Documents/keep",
        "home/user/Library/Application Support",
        "home/user/Library/Logs/Other/keep",
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install();
        c.firstRun();
        uninstall();
        log();  // flushed, so the helper's log file is there
        EXPECT_EQ(treeOf(root_.path()), remains);
        EXPECT_TRUE(launchd::client::list().jobs.empty());
    }

    // The next start of launchd loads what is left: none of the product's jobs.
    launchd.stop();
    ASSERT_TRUE(launchd.start(true)) << launchd.log();
    std::vector<std::string> loaded;
    for (const auto& job : launchd::client::list().jobs) loaded.push_back(job.label);
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, (std::vector<std::string>{"com.nimbrel.vpnagentd", helperLabel}));
}
}  // namespace
