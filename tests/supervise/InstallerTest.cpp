// The -install and -launch modes in a temporary root against our launchd: the steps on their own
// (server-list migration, the kill rules, the VPN stop) and the whole sequence.
#include <signal.h>

#include <atomic>

#include "SupervisionRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/FileIO.h"
#include "daemon/supervise/LaunchJobs.h"
#include "daemon/supervise/ZemV5Install.h"

using hollin::ZemV5Install;

namespace {

using namespace supervisetest;

class Installer : public SupervisionRoot {
  protected:
    std::string resource(const std::string& name) const { return paths::uiAppResources() + "/" + name; }
    std::string uiExe() const { return paths::uiAppExecutable(); }
};

archive::Value strings(std::initializer_list<const char*> items) {
    archive::Array a;
    for (const char* s : items) a.emplace_back(std::string(s));
    return archive::Value(std::move(a));
}

TEST_F(Installer, ServerListIsMigratedToTheKeyedFormat) {
    const archive::Value flat = strings({"10.1.2.3", "8080", "10.1.2.4", "8081"});
    const archive::Value nested = archive::Array{archive::Value(strings({"a.example", "80"})),
                                                 archive::Value(strings({"b.example", "81"}))};
    struct Case {
        const char* name;
        std::optional<archive::Value> plain;  // written as a plain property list
        std::optional<archive::Value> keyed;  // or as a keyed archive
        std::optional<archive::Value> after;  // what the keyed file holds afterwards; nothing: bytes unchanged
    } cases[] = {
        {"flat list of one server", flat, std::nullopt, archive::Array{flat}},
        {"list of lists", nested, std::nullopt, nested},
        {"empty list", archive::Array{}, std::nullopt, archive::Array{}},
        {"already keyed", std::nullopt, nested, std::nullopt},
        {"not a list", archive::Dictionary{{"host", std::string("x")}}, std::nullopt, std::nullopt},
    };
    const std::string path = paths::serverConfigFile();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(fs::path(path).parent_path());
        if (c.plain) {
            ASSERT_TRUE(archive::writePlistFile(*c.plain, path, archive::PlistFormat::Binary));
        } else {
            ASSERT_TRUE(archive::archiveRootObjectToFile(*c.keyed, path));
        }
        const std::string before = testsupport::readText(path);
        ZemV5Install::ChangeIPConfigArchive();
        if (!c.after) {
            EXPECT_EQ(testsupport::readText(path), before);
            continue;
        }
        archive::DecodeResult decoded = archive::unarchiveObjectWithFile(path);
        ASSERT_TRUE(decoded) << decoded.error;
        EXPECT_EQ(*decoded.value, *c.after);
    }
    fs::remove(path);
    ZemV5Install::ChangeIPConfigArchive();
    EXPECT_FALSE(fs::exists(path)) << "no file: nothing is written";
}

TEST_F(Installer, KillRulesMatchExecutablesNotWordsOnACommandLine) {
    const std::string runner = ZemV5Install::policyRunnerExecutable();
    const std::string upgrade = paths::upgradeAppExecutable();  // also named Marlet
    const std::string domain = ZemV5Install::joinDomainExecutable();
    const std::string other = paths::under("/opt/other/bin/Marlet");
    for (const std::string& p : {runner, upgrade, domain, other}) placeStandIn(p);

    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string argv0;
        bool killed;
    } cases[] = {
        {runner, {"-runTimer"}, "", true},
        {runner, {"-runExt", "x"}, "", true},
        {runner, {}, "", false},
        {runner, {"-run"}, "", false},
        {upgrade, {"-upgrade"}, "", false},
        {upgrade, {"-runTimer"}, "", false},
        {other, {"-runTimer"}, "", false},
        {other, {"-runTimer"}, "Marlet", false},
        {domain, {}, "", true},
        {other, {"Ducene"}, "Ducene", false},
    };
    std::vector<pid_t> pids;
    for (const Case& c : cases) pids.push_back(startProcess(c.program, c.args, c.argv0));
    ZemV5Install::killZemBizProcess();
    ZemV5Install::killJoinDomainProcess();
    for (size_t i = 0; i < pids.size(); ++i) {
        const Case& c = cases[i];
        const std::string what = c.program + " " + (c.args.empty() ? "" : c.args[0]);
        if (c.killed) {
            EXPECT_TRUE(waitFor([&] { return ended(pids[i]); })) << what;
        } else {
            EXPECT_TRUE(testsupport::alive(pids[i])) << what;
        }
    }
}

TEST_F(Installer, VpnAgentIsAskedToStopOnlyWithALoginRecord) {
    auto home = paths::homeFolder("nobody");
    ASSERT_TRUE(home);
    std::atomic<int> stops{0};
    ZemV5Install::Hooks hooks;
    hooks.userName = [] { return std::string("nobody"); };
    hooks.existNimbrel = [&] { stops.fetch_add(1); };
    ZemV5Install::killZemLoginAndNimbrel(hooks);
    EXPECT_EQ(stops.load(), 0);

    const std::string record = *home + "/Library/Application Support/RavAvizaL/login.archive";
    fs::create_directories(fs::path(record).parent_path());
    std::ofstream(record) << "not a record";
    ZemV5Install::killZemLoginAndNimbrel(hooks);
    EXPECT_EQ(stops.load(), 1);

    hooks.userName = [] { return std::string("root"); };
    ZemV5Install::killZemLoginAndNimbrel(hooks);
    EXPECT_EQ(stops.load(), 1) << "root is nobody's console session";
}

TEST_F(Installer, LaunchOpensTheUiAppAsTheUserAtTheScreen) {
    struct Case {
        std::string user;  // empty: nobody signed in
        bool bundle;
        std::string expected;  // the stand-in's record line, empty: not started
    } cases[] = {
        {"nobody", false, ""},
        {"", true, ""},
        {"root", true, ""},
        {"nobody", true, uiExe() + " uid=65534 display=:5\n"},
    };
    for (const Case& c : cases) {
        fs::remove_all(paths::uiAppBundle());
        fs::remove_all(root_ / "run");
        std::ofstream(root_ / "started.log", std::ios::trunc).flush();
        if (c.bundle) placeStandIn(uiExe());
        if (!c.user.empty()) signInAtScreen(c.user);
        ZemV5Install::launchZem();
        if (c.expected.empty()) {
            EXPECT_FALSE(waitFor([&] { return !started().empty(); }, 300ms)) << c.user;
        } else {
            EXPECT_TRUE(waitFor([&] { return started() == c.expected; })) << started();
        }
        for (pid_t pid : processesOfThisRoot()) ::kill(pid, SIGKILL);
    }
}

TEST_F(Installer, InstallReplacesJobsAndUpgradeAppThenLoadsTheJobs) {
    startLaunchd();
    signInAtScreen("nobody");
    placeStandIn(uiExe());
    placeStandIn(paths::daemonExecutable());
    placeStandIn(paths::reportServiceExecutable());
    placeStandIn(ZemV5Install::policyRunnerExecutable());
    // The new job files in the UI bundle.
    const std::string resources = paths::uiAppResources();
    writeJob(supervise::kRunJobLabel, {machinePath(paths::daemonExecutable()), "-run"}, resources);
    writeJob(supervise::kProtectJobLabel, {machinePath(paths::daemonExecutable()), "-protect"}, resources);
    writeJob(supervise::kReportJobLabel, {machinePath(paths::reportServiceExecutable()), "-run"}, resources);
    writeJob(supervise::kRunnerJobLabel, {machinePath(ZemV5Install::policyRunnerExecutable()), "-runTimer"},
             resources);
    fs::create_directories(resource("Perrow.app/Contents/MacOS"));
    std::ofstream(resource("Perrow.app/Contents/MacOS/new")) << "new";
    // The old installation: two jobs loaded and running, the user agent, an old upgrade app.
    const std::string oldRun = writeJob(supervise::kRunJobLabel, {"/bin/sleep", "600"});
    const std::string oldReport = writeJob(supervise::kReportJobLabel, {"/bin/sleep", "601"});
    ASSERT_TRUE(supervise::loadJob(oldRun).ok);
    ASSERT_TRUE(supervise::loadJob(oldReport).ok);
    const pid_t oldRunPid = jobPid(supervise::kRunJobLabel), oldReportPid = jobPid(supervise::kReportJobLabel);
    ASSERT_GT(oldRunPid, 0);
    const std::string agent = paths::localLibraryFolder() + "/LaunchAgents/com.velmora.RavAviza.Agent.plist";
    writeJob("com.velmora.RavAviza.Agent", {"/bin/true"}, fs::path(agent).parent_path());
    const std::string upgraded = paths::appUpgradeFolder() + "/Perrow.app";
    fs::create_directories(upgraded + "/Contents/MacOS");
    std::ofstream(upgraded + "/Contents/MacOS/old") << "old";

    ZemV5Install::runInstallWork();

    EXPECT_TRUE(ended(oldRunPid) && ended(oldReportPid)) << "the old jobs were unloaded";
    EXPECT_FALSE(fs::exists(agent));
    EXPECT_TRUE(fs::exists(upgraded + "/Contents/MacOS/new"));
    EXPECT_FALSE(fs::exists(upgraded + "/Contents/MacOS/old")) << "the old copy is replaced, not merged";
    EXPECT_FALSE(fs::exists(upgraded + "/Perrow.app")) << "not copied into the old copy";
    for (const char* label : {supervise::kRunJobLabel, supervise::kProtectJobLabel, supervise::kReportJobLabel,
                              supervise::kRunnerJobLabel}) {
        const std::string file = std::string(label) + ".plist";
        EXPECT_EQ(testsupport::readText(supervise::jobFile(label)), testsupport::readText(resource(file))) << label;
        EXPECT_TRUE(waitFor([&] { return jobPid(label) > 0; })) << label << " runs";
    }
    // Each new job runs its new program, and the UI app was opened for the user at the screen.
    EXPECT_TRUE(waitFor([&] {
        const std::string s = started();
        return s.find(uiExe() + " uid=65534 display=:5\n") != std::string::npos &&
               s.find(paths::daemonExecutable() + " uid=0 display= -run\n") != std::string::npos &&
               s.find(paths::daemonExecutable() + " uid=0 display= -protect\n") != std::string::npos &&
               s.find(paths::reportServiceExecutable() + " uid=0 display= -run\n") != std::string::npos &&
               s.find(ZemV5Install::policyRunnerExecutable() + " uid=0 display= -runTimer\n") != std::string::npos;
    })) << started();
}

TEST_F(Installer, InstallWithNothingInstalledGoesOnToTheEnd) {
    startLaunchd();
    signInAtScreen("nobody");
    placeStandIn(uiExe());
    placeStandIn(paths::daemonExecutable());
    writeJob(supervise::kRunJobLabel, {machinePath(paths::daemonExecutable()), "-run"}, paths::uiAppResources());
    ZemV5Install::runInstallWork();
    EXPECT_TRUE(waitFor([] { return jobPid(supervise::kRunJobLabel) > 0; })) << "the last steps still ran";
    EXPECT_EQ(jobPid(supervise::kProtectJobLabel), -1);
}

}  // namespace
