// The protect channel against real loopback servers: the double-framed request text, one POST per
// report with its outcome from the reply or the time-out, machine.data and the -run job's
// connection after a location or network-type reply, and hostile replies that end as failures.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "daemon/endpoints/VendedObjects.h"
#include "platform/ipc/NamedConnection.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/protect/ZemProtectCore.h"
#include "daemon/protect/ZemSocketOtherManager.h"
#include "daemon/protect/ZemSocketOtherReadManager.h"
#include "daemon/records/ZemMachineModel.h"
#include "common/server/ZemServerConfig.h"

using common::LogCoreHelper;
using common::ZemServerConfig;
using hollin::ZemMachineManager;
using hollin::ZemProtectCore;
using hollin::ZemSocketMessageModel;
using hollin::ZemProtectContext;

using namespace linktest;
using namespace std::chrono_literals;

namespace {

const std::string& processRoot() {
    struct Root : testsupport::TempRoot {
        Root() : TempRoot("periphery-protect") { testsupport::clearProxyEnvironment(); }
    };
    static const Root root;
    return root.path();
}

// protect_server.py: parses the inner request of every POST and answers from a script.
class ProtectServer {
  public:
    ProtectServer(const std::string& folder, Json script = Json::object()) {
        script_ = folder + "/protect-script.json";
        log_ = folder + "/protect-requests.jsonl";
        setScript(std::move(script));
        if (child_.start({RAVAVIZA_PYTHON, PROTECT_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR,
                          "--script", script_, "--log", log_})) {
            const std::string line = child_.readLine();
            if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
        }
    }
    int port() const { return port_; }
    void setScript(Json script) { writeText(script_, script.dump()); }
    std::vector<Json> requests() const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(Json::parse(line, nullptr, false));
        return out;
    }
    bool waitForRequests(size_t n, std::chrono::milliseconds limit = 10s) const {
        return waitUntil([&] { return requests().size() >= n; }, limit);
    }

  private:
    Child child_;
    std::string script_;
    std::string log_;
    int port_ = 0;
};

// The outcomes a report's completion received, in order.
struct Outcomes {
    std::mutex m;
    std::condition_variable cv;
    std::vector<bool> values;

    ZemProtectCore::ReportCompletion block() {
        return [this](bool ok) {
            std::lock_guard lock(m);
            values.push_back(ok);
            cv.notify_all();
        };
    }
    bool waitFor(size_t n, std::chrono::milliseconds limit = 15s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, [&] { return values.size() >= n; });
    }
    std::vector<bool> snapshot() {
        std::lock_guard lock(m);
        return values;
    }
};

// Counts posts of one notification name delivered on the test's main queue.
class NotificationCount {
  public:
    NotificationCount(const std::string& name, std::shared_ptr<dispatch::WorkQueue> queue) {
        id_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            name, std::move(queue), [this](const dispatch::Notification&) { count_.fetch_add(1); });
    }
    ~NotificationCount() { dispatch::NotificationCenter::defaultCenter().removeObserver(id_); }
    int count() const { return count_.load(); }

  private:
    dispatch::NotificationCenter::ObserverId id_ = 0;
    std::atomic<int> count_{0};
};

class ProtectFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string& root = processRoot();
        ASSERT_FALSE(root.empty());
        std::error_code ec;
        std::filesystem::remove_all(paths::machineSupportFolder(), ec);
        std::filesystem::create_directories(paths::machineSupportFolder());
        std::filesystem::remove(ZemMachineManager::localPath(), ec);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = root + "/cases/" + info->test_suite_name() + "." + info->name();
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::create_directories(folder_);
        config_ = std::make_unique<ZemServerConfig>();
        machines_ = std::make_unique<ZemMachineManager>();
        mainQueue_ = dispatch::WorkQueue::create("periphery.protect.main");
    }

    void TearDown() override {
        for (auto& core : cores_) core->netSocket().readSocketManager().waitForPendingReads(10s);
        cores_.clear();
        LogCoreHelper::sharedInstance().flush();
    }

    // .ZemConfig naming the intranet server; the last good server falls back to it.
    void configure(const std::string& host, int port) {
        archive::Array entries{archive::Value(archive::Array{host, std::to_string(port)})};
        ASSERT_TRUE(archive::archiveRootObjectToFile(entries, paths::serverConfigFile()));
        // Read again in place: cores made earlier hold this object.
        config_->updateServerConfig();
    }

    ZemProtectContext context(int policyPort) {
        ZemProtectContext c;
        c.serverConfig = config_.get();
        c.machineManager = machines_.get();
        c.mainQueue = mainQueue_;
        c.policyHost = "127.0.0.1";
        c.policyPort = policyPort;
        c.requestTimeout = 1500ms;
        return c;
    }

    std::shared_ptr<ZemProtectCore> makeCore(ZemProtectContext c) {
        auto core = std::make_shared<ZemProtectCore>(std::move(c));
        cores_.push_back(core);
        return core;
    }

    static std::string logText() {
        LogCoreHelper::sharedInstance().flush();
        std::string all;
        for (const char* name : {"Hollin-Info-1.log", "Hollin-Info-2.log", "Hollin-Info-3.log"})
            all += readText(paths::daemonLogsFolder() + "/" + name);
        return all;
    }

    std::string folder_;
    std::unique_ptr<ZemServerConfig> config_;
    std::unique_ptr<ZemMachineManager> machines_;
    std::shared_ptr<dispatch::WorkQueue> mainQueue_;
    std::vector<std::shared_ptr<ZemProtectCore>> cores_;
};

class periphery_protect_Framing : public ProtectFixture {};
class periphery_protect_Report : public ProtectFixture {};
class periphery_protect_Machine : public ProtectFixture {};

// The inner value of a header of the logged inner request, "" when absent.
std::string innerHeader(const Json& request, const std::string& name) {
    for (const Json& pair : request["innerHeaders"])
        if (pair[0] == name) return pair[1].get<std::string>();
    return {};
}

}  // namespace

// The inner request text, byte for byte, carries the last good server; without one (or with a
// stored host that would add header lines) the body is empty.
TEST_F(periphery_protect_Framing, RequestTextNamesTheLastGoodServerOrIsEmpty) {
    struct Case {
        const char* name;
        std::optional<std::string> host;  // none: no configuration at all
        bool encode;
        std::string expected;
    };
    const std::vector<uint8_t> message = {'a', '%', '0', '1', 'b'};
    const std::vector<Case> cases = {
        {"url-encoded", "10.1.2.3", true,
         "POST /yj/machineinfo HTTP/1.1\r\nHost: 10.1.2.3:8443\r\nUrlencode:1\r\nConnection: Keep-Alive\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\na%01b"},
        {"raw", "10.1.2.3", false,
         "POST /yj/location HTTP/1.1\r\nHost: 10.1.2.3:8443\r\nUrlencode:0\r\nConnection: Keep-Alive\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\na%01b"},
        {"no server", std::nullopt, true, ""},
        {"line break in host", "evil\r\nX-Injected: 1", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        std::filesystem::remove(paths::serverConfigFile(), ec);
        config_ = std::make_unique<ZemServerConfig>();
        if (c.host) configure(*c.host, 8443);
        ZemProtectCore core(context(1));
        const int32_t action = c.encode ? 8300 : 8000;
        const std::vector<uint8_t> body =
            core.generateRequestBody(message, ZemProtectCore::getURLParams(action), action, c.encode);
        EXPECT_EQ(std::string(body.begin(), body.end()), c.expected);
    }
    EXPECT_EQ(ZemProtectCore::getURLParams(8101), "yj/machineinfo");
    EXPECT_EQ(ZemProtectCore::getURLParams(1000), "");
    EXPECT_EQ(ZemProtectCore(context(1)).getRequestWithType(1000), nullptr);
}

// One report, one POST: the outer request keeps the connection alive and its body is a complete
// request text that the server parses on its own, with the network type in the message.
TEST_F(periphery_protect_Report, SendsOnceDoubleFramedAndCompletesFromTheReply) {
    ProtectServer server(folder_);
    ASSERT_GT(server.port(), 0);
    configure("127.0.0.1", server.port());
    auto core = makeCore(context(server.port()));
    Outcomes outcomes;
    ASSERT_TRUE(core->reportMachineInfo("1", outcomes.block()));
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.snapshot(), std::vector<bool>{true});

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const Json& r = requests[0];
    EXPECT_EQ(r["path"], "yj/machineinfo");
    EXPECT_EQ(headerOf(r, "Connection"), "Keep-Alive");
    EXPECT_EQ(r["innerRequestLine"], "POST /yj/machineinfo HTTP/1.1");
    std::vector<std::string> names;
    for (const Json& pair : r["innerHeaders"]) names.push_back(pair[0].get<std::string>());
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "Urlencode", "Connection", "Content-Type",
                                               "Content-Length"}));
    EXPECT_EQ(innerHeader(r, "Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(innerHeader(r, "Urlencode"), "1");
    EXPECT_EQ(r["innerLengthOk"], true);
    ASSERT_FALSE(r.contains("error")) << r.dump();
    EXPECT_EQ(r["action"], 8300);
    EXPECT_EQ(r["extension"], "reportMachineInfoMsgReqBody");
    EXPECT_EQ(r["body"]["reqItemsArray"][0]["valueItemsArray"][1]["value"], "1");

    // A later report on the same channel goes out once more; the channel no longer keeps alive
    // only after a disconnect, which a report never makes.
    Outcomes second;
    core->reportMachineInfo("0", second.block());
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_EQ(second.snapshot(), std::vector<bool>{true});
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(outcomes.snapshot().size(), 1u);
    EXPECT_TRUE(core->netSocket().reqModels().empty());
}

// Whatever goes wrong, the report is sent once and its completion gets false exactly once,
// within the channel's time-out.
TEST_F(periphery_protect_Report, EveryFailureCompletesOnceWithFalse) {
    struct Case {
        const char* name;
        Json entry;       // protect_server reply entry; null: link_stub_server script below
        Json stubScript;  // raw HTTP faults
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"status 500", Json{{"status", 500}}, nullptr, "response data fail: reportMachineInfo"},
        {"no answer before the time-out", Json{{"silence", true}}, nullptr,
         "response data fail: reportMachineInfo"},
        {"garbage", Json{{"garbage", true}}, nullptr, "type: reportMachineInfo | response parse failed"},
        {"empty", Json{{"empty", true}}, nullptr, "type: reportMachineInfo | urlencode data failed"},
        {"reply of another action", Json{{"action", 1000}}, nullptr, "action 1000 answers 8300"},
        {"typed reply of another request", Json{{"replyAction", 8000}}, nullptr,
         "type: reportMachineInfo | response parse failed"},
        {"body shorter than its length", nullptr,
         Json{{"default", Json{{"status", 200}, {"body", "abc"}, {"declared", 50}}}}, "response data fail"},
        {"huge Content-Length", nullptr,
         Json{{"default", Json{{"status", 200}, {"body", "abc"}, {"declared", 999999999999LL}}}},
         "response data fail"},
        {"reply over the size cap", nullptr, Json{{"default", Json{{"status", 200}, {"fill", 3u << 20}}}},
         "response data fail"},
        {"closed without answer", nullptr, Json{{"default", Json{{"drop", true}}}}, "response data fail"},
        {"nothing listens", nullptr, nullptr, "response data fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string caseFolder = folder_ + "/" + std::to_string(&c - cases.data());
        std::filesystem::create_directories(caseFolder);
        std::unique_ptr<ProtectServer> server;
        std::unique_ptr<StubServer> stub;
        int port = 0;
        if (!c.entry.is_null()) {
            server = std::make_unique<ProtectServer>(
                caseFolder, Json{{"replies", Json{{"yj/machineinfo", Json::array({c.entry})}}}});
            port = server->port();
        } else if (!c.stubScript.is_null()) {
            stub = std::make_unique<StubServer>(caseFolder, "stub", c.stubScript);
            port = stub->port();
        } else {
            port = closedPort();
        }
        ASSERT_GT(port, 0);
        configure("127.0.0.1", port);
        const size_t mark = logText().size();
        auto core = makeCore(context(port));
        Outcomes outcomes;
        const auto start = SteadyClock::now();
        core->reportMachineInfo("2", outcomes.block());
        ASSERT_TRUE(outcomes.waitFor(1));
        EXPECT_LT(SteadyClock::now() - start, 10s);
        EXPECT_EQ(outcomes.snapshot(), std::vector<bool>{false});
        ASSERT_TRUE(core->netSocket().readSocketManager().waitForPendingReads(10s));
        if (server) {
            EXPECT_EQ(server->requests().size(), 1u);
        }
        if (stub) {
            EXPECT_EQ(stub->requests().size(), 1u);
        }
        EXPECT_TRUE(core->netSocket().reqModels().empty());
        EXPECT_NE(logText().substr(mark).find(c.logLine), std::string::npos) << logText().substr(mark);
        EXPECT_EQ(outcomes.snapshot().size(), 1u);
    }
}

// Two reports under way at once, each on its own core: the one answered first does not decide
// the other's outcome.
TEST_F(periphery_protect_Report, EachCoreGetsItsOwnChannelsOutcome) {
    ProtectServer server(folder_, Json{{"replies", Json{{"yj/machineinfo", Json::array({
                                                                               Json{{"sleep", 1.0}},
                                                                               Json{{"status", 500}},
                                                                           })}}}});
    ASSERT_GT(server.port(), 0);
    configure("127.0.0.1", server.port());
    auto slow = makeCore(context(server.port()));
    auto failing = makeCore(context(server.port()));
    Outcomes slowOutcome, failingOutcome;
    slow->reportMachineInfo("1", slowOutcome.block());
    ASSERT_TRUE(server.waitForRequests(1));
    failing->reportMachineInfo("1", failingOutcome.block());
    ASSERT_TRUE(failingOutcome.waitFor(1));
    EXPECT_EQ(failingOutcome.snapshot(), std::vector<bool>{false});
    ASSERT_TRUE(slowOutcome.waitFor(1));
    EXPECT_EQ(slowOutcome.snapshot(), std::vector<bool>{true});
}

// A second report while the first is in flight on the same core rides on it: one POST, both
// blocks called once with its outcome.
TEST_F(periphery_protect_Report, ReportWhileOneIsInFlightSharesItsOutcome) {
    ProtectServer server(folder_,
                         Json{{"replies", Json{{"yj/machineinfo", Json::array({Json{{"sleep", 0.5}}})}}}});
    configure("127.0.0.1", server.port());
    auto core = makeCore(context(server.port()));
    Outcomes first, second;
    core->reportMachineInfo("1", first.block());
    core->reportMachineInfo("1", second.block());
    ASSERT_TRUE(first.waitFor(1));
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_EQ(first.snapshot(), std::vector<bool>{true});
    EXPECT_EQ(second.snapshot(), std::vector<bool>{true});
    EXPECT_EQ(server.requests().size(), 1u);
}

// The location and network-type replies reach machine.data and the -run job's connection; a
// reply that changes nothing saves nothing and calls nobody but is still announced.
TEST_F(periphery_protect_Machine, RepliesUpdateMachineDataAndTellTheRunJob) {
    ProtectServer server(folder_, Json{{"location", Json{{"netLocation", 3}, {"dns", "10.0.0.1||10.0.0.2"}}},
                                       {"netType", 10}});
    ASSERT_GT(server.port(), 0);
    configure("127.0.0.1", server.port());

    // The -run job's side: the real vended connection's method reloads machine.data.
    std::atomic<int> reloads{0};
    ZemMachineManager runJobRecord;
    ipc::VendedObject object;
    object.add("updateMemoryMachine", [&](const archive::Array&) -> std::optional<archive::Value> {
        runJobRecord.getMachineInfoFromLocal();
        reloads.fetch_add(1);
        return std::nullopt;
    });
    auto vended = ipc::NamedConnection::vend(endpoints::kHeartbeatProtectConnection, std::move(object));
    ASSERT_TRUE(vended);

    NotificationCount locations(protectchannel::kNetworkLocationNotification, mainQueue_);
    NotificationCount types(protectchannel::kNetworkTypeNotification, mainQueue_);
    auto core = makeCore(context(server.port()));

    core->requestNetworkLocation();
    ASSERT_TRUE(waitUntil([&] { return locations.count() == 1; }));
    EXPECT_EQ(reloads.load(), 1);
    auto seen = runJobRecord.currentMachine();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->netType, "3");
    EXPECT_EQ(seen->domainsOfDNS, "10.0.0.1||10.0.0.2");
    const auto r = server.requests().at(0);
    EXPECT_EQ(r["path"], "yj/location");
    EXPECT_EQ(r["innerRequestLine"], "POST /yj/location HTTP/1.1");
    EXPECT_EQ(innerHeader(r, "Urlencode"), "0");
    EXPECT_EQ(r["innerLengthOk"], true);
    EXPECT_EQ(r["action"], 8000);

    // The same answer again: announced, but neither saved nor passed on.
    const auto stamp = std::filesystem::last_write_time(ZemMachineManager::localPath());
    core->requestNetworkLocation();
    ASSERT_TRUE(waitUntil([&] { return locations.count() == 2; }));
    EXPECT_EQ(reloads.load(), 1);
    EXPECT_EQ(std::filesystem::last_write_time(ZemMachineManager::localPath()), stamp);

    core->requestNetworkType();
    ASSERT_TRUE(waitUntil([&] { return types.count() == 1; }));
    EXPECT_EQ(reloads.load(), 2);
    seen = runJobRecord.currentMachine();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->machineType, "10");
    EXPECT_EQ(seen->netType, "3");
    const auto t = server.requests().at(2);
    EXPECT_EQ(t["path"], "yj/machineinfo");
    EXPECT_EQ(innerHeader(t, "Urlencode"), "1");
    EXPECT_EQ(t["action"], 8101);
    EXPECT_EQ(server.requests().size(), 3u);
}

// Without a usable round-robin server the request waits and nothing is sent; the next request
// drops it (there is no server to send it to) instead of POSTing it nowhere.
TEST_F(periphery_protect_Machine, NoUsableServerSendsNothingAndTheNextRequestDropsIt) {
    auto core = makeCore(context(closedPort()));
    core->requestNetworkLocation();
    ASSERT_EQ(core->netSocket().reqModels().size(), 1u);
    EXPECT_EQ(core->netSocket().reqModels()[0]->sendStatus, ZemSocketMessageModel::kWaiting);
    EXPECT_FALSE(machines_->currentMachine());

    ProtectServer server(folder_, Json{{"netType", 1}});
    ASSERT_GT(server.port(), 0);
    configure("127.0.0.1", server.port());
    core->requestNetworkType();
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(waitUntil([&] { return core->netSocket().reqModels().empty(); }));
    ASSERT_TRUE(core->netSocket().readSocketManager().waitForPendingReads(10s));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["action"], 8101);
    EXPECT_EQ(headerOf(requests[0], "Connection"), "close");
    ASSERT_TRUE(waitUntil([&] { return machines_->currentMachine().has_value(); }));
    EXPECT_EQ(machines_->currentMachine()->machineType, "1");
}
