// The local service object com.velmora.Ludrow.Exit over a real root-only named connection, with
// recording stand-ins for launchctl, the companion apps and the account tools in the tool folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/ipc/NamedConnection.h"
#include "platform/paths/Paths.h"
#include "daemon/service/DaemonDefaults.h"
#include "daemon/service/TaskHelperExtension.h"
#include "daemon/service/ZemCoreVPNService.h"
#include "daemon/service/ZemNimbrelInterface.h"
#include "outside/vpnagent/FenwickClient.h"
#include "platform/spawn/Spawn.h"

using hollin::TaskHelperExtension;
using hollin::ZemCoreVPNService;
using hollin::ZemNimbrelInterface;

namespace fs = std::filesystem;
using archive::Array;
using archive::Dictionary;
using archive::Value;
using ipc::CallStatus;
using namespace std::chrono_literals;

namespace {

using testsupport::eventually;

class LocalServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tempRoot_.emplace("rav-service", 0755);
        root_ = tempRoot_->path();
        fs::create_directories(paths::toolFolder());
        fs::create_directories(paths::machineSupportFolder());
        fs::create_directories(paths::runtimeFolder());
        calls_ = root_ + "/calls";
        for (const char* tool : {"launchctl", "dsconfigad", "createmobileaccount", "dscl"}) {
            recorder(paths::toolFolder() + "/" + tool, tool);
        }
    }
    void TearDown() override {
        if (connection_) connection_->invalidate();
        connection_.reset();
        proxy_.reset();
        tempRoot_.reset();
    }

    // A program that appends "<name> <args>" to the calls file; a file "<name>.out" or
    // "<name>.err" beside the calls is printed to its output or error stream.
    void recorder(const std::string& path, const std::string& name) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "#!/bin/sh\necho \"" << name << " $*\" >> " << calls_ << "\n"
                            << "[ -f " << root_ << "/" << name << ".out ] && cat " << root_ << "/" << name
                            << ".out\n"
                            << "[ -f " << root_ << "/" << name << ".err ] && cat " << root_ << "/" << name
                            << ".err >&2\nexit 0\n";
        ::chmod(path.c_str(), 0755);
    }
    void answer(const std::string& tool, const std::string& stream, const std::string& text) {
        std::ofstream(root_ + "/" + tool + "." + stream) << text;
    }
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(calls_);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    bool called(const std::string& line) const {
        auto c = calls();
        return std::find(c.begin(), c.end(), line) != c.end();
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(mutex_);
        return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
    }

    ZemCoreVPNService::Environment environment() {
        ZemCoreVPNService::Environment env;
        env.stopRunLoop = [this] { ++stops_; };
        env.reportMachineInfo = [this](const std::string& type, std::function<void(bool)> complete) {
            {
                std::lock_guard lock(mutex_);
                reports_.push_back({type, complete != nullptr});
            }
            if (complete) complete(false);
        };
        env.startUpgrade = [this](int64_t type) { upgrades_.push_back(type); };
        env.log = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            logs_.push_back(line);
        };
        env.commandDeadline = 5s;
        return env;
    }
    ipc::ConnectionProxy& proxy() {
        if (!proxy_) {
            connection_ = ZemCoreVPNService::vend(std::make_shared<ZemCoreVPNService>(environment()));
            EXPECT_TRUE(connection_);
            ipc::LookupOptions options;
            options.requireRootPeer = true;
            proxy_ = ipc::ConnectionProxy::lookup(ZemCoreVPNService::kConnectionName, options);
            EXPECT_TRUE(proxy_);
        }
        return *proxy_;
    }

    std::optional<testsupport::TempRoot> tempRoot_;
    std::string root_, calls_;
    std::mutex mutex_;
    std::vector<std::string> logs_;
    std::vector<std::pair<std::string, bool>> reports_;
    std::vector<int64_t> upgrades_;
    std::atomic<int> stops_{0};
    std::shared_ptr<ipc::NamedConnection> connection_;
    std::shared_ptr<ipc::ConnectionProxy> proxy_;
};

TEST_F(LocalServiceTest, LaunchctlOperationsNameTheJobFiles) {
    const std::string daemons = paths::launchDaemonsFolder();
    EXPECT_EQ(proxy().call("unloadVPNService").status, CallStatus::Ok);
    EXPECT_TRUE(
        eventually([&] { return called("launchctl unload " + daemons + "/com.nimbrel.vpnagentd.plist"); }));

    auto quiet = proxy().call("restartVPNService");
    EXPECT_EQ(quiet.value, Value(true));
    EXPECT_TRUE(called("launchctl load " + daemons + "/com.nimbrel.vpnagentd.plist"));
    answer("launchctl", "err", "Load failed: 5: Input/output error");
    EXPECT_EQ(proxy().call("restartVPNService").value, Value(false));

    EXPECT_EQ(proxy().call("ZemExit:", {false}).status, CallStatus::Ok);
    for (const char* label : {"Stoven", "Tamber", "Marlet"}) {
        const std::string line = "launchctl unload " + daemons + "/com.velmora." + label + ".Daemon.plist";
        EXPECT_TRUE(eventually([&] { return called(line); })) << line;
    }
    EXPECT_EQ(stops_.load(), 0) << "NO leaves the run loop running";
    proxy().call("ZemExit:", {true});
    EXPECT_EQ(stops_.load(), 1);
}

TEST_F(LocalServiceTest, CompanionAppsOpenWithTheirArgumentOrAnswerMissing) {
    struct Case {
        const char* selector;
        Value opened, missing;
        const char* argument;
        const char* missingLine;
    };
    const std::vector<Case> cases{
        {"openDucene", Value(1), Value(0), "", "Cobbet app is not exist"},
        {"configLan", Value(true), Value(false), "-lan", "Cobbet app is not exist from config lan"},
        {"configDEVWlan", Value(true), Value(false), "-devwlan",
         "Cobbet app is not exist from config devwlan"},
        {"configOfficeWLAN", Value(true), Value(false), "-wlan", "Cobbet app is not exist from config wlan"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        EXPECT_EQ(proxy().call(c.selector).value, c.missing);
        EXPECT_TRUE(logged(c.missingLine));
    }
    recorder(ZemCoreVPNService::registrationAppPath(), "Cobbet");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        EXPECT_EQ(proxy().call(c.selector).value, c.opened);
        const std::string line = std::string("Cobbet ") + c.argument;
        EXPECT_TRUE(eventually([&] { return called(line); })) << line;
    }

    EXPECT_EQ(proxy().call("openVPNDiagnoseTool").status, CallStatus::Ok);
    EXPECT_TRUE(eventually([&] { return logged("Runnel app is not exist"); }));
    recorder(ZemCoreVPNService::diagnoseToolPath(), "Runnel");
    proxy().call("openVPNDiagnoseTool");
    EXPECT_TRUE(eventually([&] { return called("Runnel    4.3.03086"); }));
}

TEST_F(LocalServiceTest, ReportRetriesOnceDefaultsUpgradeAndNoOp) {
    proxy().call("reportMachineInfo:", {"1"});
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(reports_, (std::vector<std::pair<std::string, bool>>{{"1", true}, {"1", false}}));
    }
    proxy().call("saveNotAutorun:", {true});
    EXPECT_TRUE(eventually([] { return service::daemonDefault(service::kNotAutoRunKey) == Value(1); }));
    proxy().call("saveNotAutorun:", {false});
    EXPECT_TRUE(eventually([] { return service::daemonDefault(service::kNotAutoRunKey) == Value(0); }));

    proxy().call("startUpgradeHandle:", {3});
    EXPECT_EQ(upgrades_, std::vector<int64_t>{3});
    EXPECT_EQ(proxy().call("openUpgradeAppOnUI:argv:", {"Perrow", "-x"}).status, CallStatus::Ok);
    EXPECT_TRUE(calls().empty());
}

TEST_F(LocalServiceTest, MobileAccountUsesTheLowerCaseNameAndNeedsDsconfigadOutput) {
    proxy().call("createADAccount:", {"Alice.Smith"});
    EXPECT_EQ(calls(), std::vector<std::string>{"dsconfigad -mobile enable -mobileconfirm disable"})
        << "no output from dsconfigad: no account, the admin group untouched";

    answer("dsconfigad", "out", "Settings changed\n");
    fs::remove(calls_);
    proxy().call("createADAccount:", {"Alice.Smith"});
    EXPECT_EQ(calls(),
              (std::vector<std::string>{
                  "dsconfigad -mobile enable -mobileconfirm disable", "createmobileaccount -n alice.smith",
                  "dscl . -merge /groups/admin GroupMembership alice.smith alice.smith"}));
    EXPECT_TRUE(logged("create account res: (null)  (null)"));

    answer("dsconfigad", "err", "not bound\n");
    fs::remove(calls_);
    proxy().call("createADAccount:", {"bob"});
    EXPECT_EQ(calls().size(), 1u) << "error output from dsconfigad stops the account";
}

TEST_F(LocalServiceTest, HostileArgumentsReachNoProgram) {
    answer("dsconfigad", "out", "Settings changed\n");
    for (const std::string& name :
         {std::string(""), std::string("-n"), std::string("--help"), std::string("alice; rm -rf /"),
          std::string("$(id)"), std::string("a b"), std::string("../../etc"), std::string(".hidden"),
          std::string("ålice"), std::string(65, 'a'), std::string("a\nb")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(proxy().call("createADAccount:", {name}).status, CallStatus::Ok);
    }
    EXPECT_TRUE(calls().empty());

    struct Call {
        const char* selector;
        Array args;
    };
    const std::vector<Call> malformed{
        {"createADAccount:", {}},
        {"createADAccount:", {42}},
        {"createADAccount:", {"a", "b"}},
        {"createADAccount:", {std::string(1000, 'a')}},
        {"createADAccount:", {std::string("a\0b", 3)}},
        {"ZemExit:", {"YES"}},
        {"saveNotAutorun:", {Value(Array{})}},
        {"startUpgradeHandle:", {"1"}},
        {"reportMachineInfo:", {std::string(100, '1')}},
        {"unloadVPNService", {1}},
        {"openUpgradeAppOnUI:argv:", {"only one"}},
    };
    for (const Call& c : malformed) {
        SCOPED_TRACE(c.selector);
        EXPECT_EQ(proxy().call(c.selector, c.args).status, CallStatus::Failed);
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(stops_.load(), 0);
    EXPECT_EQ(proxy().call("schemePolicyIsValide").status, CallStatus::UnknownSelector);
}

TEST_F(LocalServiceTest, AccountNamesAreValidatedAndLowerCased) {
    EXPECT_EQ(ZemCoreVPNService::accountName("Alice.Smith_2-x"), "alice.smith_2-x");
    for (const char* bad : {"", "-x", ".x", "a/b", "a b", "a;b", "a$b", "ä"}) {
        EXPECT_EQ(ZemCoreVPNService::accountName(bad), "") << bad;
    }
}

TEST_F(LocalServiceTest, TaskHelperExtensionReportsErrorsAndEndsAtTheDeadline) {
    bool called = false;
    TaskHelperExtension::excuteTaskPath(root_ + "/missing", {"x"},
                                        [&](std::optional<std::string> out, std::optional<std::string> err) {
                                            called = true;
                                            EXPECT_FALSE(out);
                                            EXPECT_FALSE(err);
                                        });
    EXPECT_TRUE(called);

    std::optional<std::string> out, err;
    TaskHelperExtension::excuteTaskPath("/bin/sh", {"-c", "echo hello; echo oops >&2"},
                                        [&](std::optional<std::string> o, std::optional<std::string> e) {
                                            out = o;
                                            err = e;
                                        });
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(err, "oops\n");

    std::string result;
    ErrorValue error;
    ASSERT_TRUE(
        TaskHelperExtension::excuteLaunchPath("/bin/sh", {"-c", "printf 'a\\377b' >&2"}, &result, &error));
    EXPECT_EQ(error.domain, "com.velmora.Zem");
    EXPECT_EQ(error.code, -10001);
    EXPECT_EQ(error.failureReason, "unknown error");

    ErrorValue launch;
    EXPECT_FALSE(TaskHelperExtension::excuteLaunchPath(root_ + "/missing", {}, nullptr, &launch));
    EXPECT_EQ(launch.code, -10001);
    EXPECT_FALSE(launch.failureReason.empty());

    auto start = std::chrono::steady_clock::now();
    TaskHelperExtension::excuteTaskPath("/bin/sleep", {"30"}, nullptr, 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(LocalServiceTest, NimbrelStopAsksForAccessThenStopsTheRunningAgent) {
    std::mutex m;
    std::vector<std::string> lines;
    auto& nimbrel = ZemNimbrelInterface::sharedInstance();
    nimbrel.setLog([&](const std::string& l) {
        std::lock_guard lock(m);
        lines.push_back(l);
    });
    std::atomic<int> made{0};
    int64_t access = 0;
    std::optional<Dictionary> reply;
    nimbrel.setClientFactory([&]() -> std::optional<ZemNimbrelInterface::FenwickClient> {
        ++made;
        ZemNimbrelInterface::FenwickClient c;
        c.startRequestAccess = [&](std::function<void(int64_t)> done) {
            std::thread([done, access] { done(access); }).detach();
        };
        c.stopVantleAgent = [&](std::function<void(std::optional<Dictionary>)> done) { done(reply); };
        return c;
    });
    auto lastLine = [&] {
        std::lock_guard lock(m);
        return lines.empty() ? std::string() : lines.back();
    };

    nimbrel.existNimbrel();
    EXPECT_EQ(made.load(), 0) << "no agent runs: nothing asked";

    // The agent: a real program at the bundle's agent path.
    const std::string agent = ZemNimbrelInterface::vpnAgentPath();
    fs::create_directories(fs::path(agent).parent_path());
    fs::copy_file("/bin/sleep", agent);
    spawn::Options o;
    o.program = agent;
    o.argv = {agent, "30"};
    auto child = spawn::start(o);
    ASSERT_TRUE(child);
    ASSERT_TRUE(eventually(
        [&] { return testsupport::readText("/proc/" + std::to_string(child->pid) + "/exe").size() > 0; }));

    struct Case {
        int64_t access;
        std::optional<Dictionary> reply;
        std::string line;
    };
    const std::vector<Case> cases{
        {0, Dictionary{{"code", 0}}, "[ZemNimbrelInterface] RavAviza Fenwick Stop Success!!!"},
        {0, std::nullopt, "[ZemNimbrelInterface] RavAviza Fenwick Stop Success!!!"},
        {0, Dictionary{{"code", "7"}}, "[ZemNimbrelInterface] RavAviza Fenwick Stop Fail:code = 7"},
        {3, Dictionary{{"code", 0}}, "[ZemNimbrelInterface] RavAviza Fenwick Access Fail!!!"},
    };
    for (const Case& c : cases) {
        {
            std::lock_guard lock(m);
            lines.clear();
        }
        access = c.access;
        reply = c.reply;
        nimbrel.existNimbrel();
        EXPECT_TRUE(eventually([&] { return lastLine() == c.line; })) << c.line << " got " << lastLine();
    }

    // An update replaces the agent's file (copy, then rename over it): the agent still running
    // is the old file's, and it is still the agent to stop.
    fs::copy_file("/bin/sleep", agent + ".new");
    fs::rename(agent + ".new", agent);
    const int before = made.load();
    access = 0;
    reply = Dictionary{{"code", 0}};
    nimbrel.existNimbrel();
    EXPECT_EQ(made.load(), before + 1) << "the stop is asked of the agent whose file was replaced";
    // Without a factory of its own, every job asks the component's client (which refuses here).
    nimbrel.setClientFactory(nullptr);
    const int asked = FenwickStandIn::accessRequests();
    {
        std::lock_guard lock(m);
        lines.clear();
    }
    nimbrel.existNimbrel();
    EXPECT_EQ(FenwickStandIn::accessRequests(), asked + 1);
    EXPECT_TRUE(eventually([&] { return lastLine() == "[ZemNimbrelInterface] RavAviza Fenwick Access Fail!!!"; }));
    ::kill(child->pid, SIGKILL);
    int status = 0;
    ::waitpid(child->pid, &status, 0);
    nimbrel.setClientFactory(nullptr);
    nimbrel.setLog(nullptr);
}

}  // namespace
