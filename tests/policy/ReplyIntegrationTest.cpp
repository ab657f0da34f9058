// `Hollin -run` in a temporary root: server commands in heartbeat replies lead to the matching
// requests, policy replies reach the database, the policy runner and the report service, upgrade
// orders reach the upgrade app, and the messaging port names the last good server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "messaging/TesselClient.h"
#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "framework/cipher/AesString.h"
#include "platform/paths/Paths.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "daemon/store/ZemConfigManager.h"

using tessel::TesselClient;
using common::AccountModel;
using common::ZemNetworkInfoModel;
using hollin::ZemClientFMDB;
using hollin::ZemConfigManager;
using hollin::ZemConfigModel;

using namespace linktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ZemTestServer {
  public:
    ZemTestServer(const std::string& folder, const Json& script) {
        const std::string scriptFile = folder + "/server-script.json";
        log_ = folder + "/server-requests.jsonl";
        writeText(scriptFile, script.dump());
        if (child_.start({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR, "--script",
                          scriptFile, "--log", log_})) {
            const std::string line = child_.readLine();
            if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
        }
    }
    int port() const { return port_; }
    std::vector<Json> requests(int action) const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);) {
            Json record = Json::parse(line, nullptr, false);
            if (!record.is_discarded() && record.value("action", 0) == action) out.push_back(record);
        }
        return out;
    }
    bool waitFor(int action, std::chrono::milliseconds limit = 30s) const {
        return waitUntil([&] { return !requests(action).empty(); }, limit);
    }

  private:
    Child child_;
    std::string log_;
    int port_ = 0;
};

// The JSON lines a stand-in recorded.
std::vector<Json> recorded(const std::string& file, const std::string& selector) {
    std::vector<Json> out;
    std::istringstream in(readText(file));
    for (std::string line; std::getline(in, line);) {
        Json j = Json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.value("selector", "") == selector) out.push_back(j);
    }
    return out;
}

class policy_integration : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "the daemon's -run job needs root";
        testsupport::clearProxyEnvironment();
        fs::create_directories(paths::machineSupportFolder());
        fs::create_directories(paths::productRoot());
        ZemConfigManager configs(ZemConfigManager::localPath());
        configs.updateMemoryConfigs({ZemConfigModel::initWith(ZemConfigManager::kHeartbeatType, "1")});
        configs.saveConfigToLocal();
        ZemNetworkInfoModel record;
        record.networkType = 2;
        ASSERT_TRUE(record.saveModelRecord());
        ASSERT_TRUE(runner_.start({PEER_STAND_IN, "--record", root_ + "/runner.jsonl", "runner"}));
        ASSERT_EQ(runner_.readLine(), "READY");
        ASSERT_TRUE(report_.start({PEER_STAND_IN, "--record", root_ + "/report.jsonl", "report"}));
        ASSERT_EQ(report_.readLine(), "READY");
    }
    void TearDown() override {
        hollin_.stop();
        // The upgrade app runs on its own once started; the stand-in names its pid.
        const std::string pid = readText(root_ + "/upgrade-standin.pid");
        if (!pid.empty()) ::kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
        runner_.stop();
        report_.stop();
    }
    void startHollin(int port) {
        archive::Array entries{archive::Array{"127.0.0.1", std::to_string(port)},
                               archive::Array{"127.0.0.1", std::to_string(port)}};
        ASSERT_TRUE(archive::archiveRootObjectToFile(entries, paths::serverConfigFile()));
        ASSERT_TRUE(hollin_.start({HOLLIN_EXECUTABLE, "-run"}, {"RAVAVIZA_ROOT=" + root_}, root_ + "/hollin.out"));
    }
    std::string daemonLog() const { return readText(root_ + "/Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log"); }

    testsupport::TempRoot tempRoot_{"reply-int"};
    std::string root_ = tempRoot_.path();
    Child runner_, report_, hollin_;
};

TEST_F(policy_integration, PolicyCommandFetchesExactlyTheChangedPoliciesAndTellsRunnerAndReportService) {
    {
        ZemClientFMDB db(root_ + "/Users/.AllUsers/RavAviza/RavAviza.EXE$/RavAviza.sqlite");
        for (auto [id, version] : {std::pair<int64_t, int64_t>{12, 1}, {13, 2}, {99, 1}})
            ASSERT_TRUE(db.upsertPolicy({{"policy_id", id}, {"policy_version", version}, {"policy_moudle", "old"},
                                         {"content", ""}, {"runCycle", 600}, {"deadline", ""}, {"md5", ""},
                                         {"run_state", 0}, {"max_timeout", "300"}}));
    }
    const int64_t big = int64_t{1} << 35;
    const Json script = {
        {"commands", {{{"cmdType", 5}, {"cmdSeq", 1}, {"deadline", 0}}}},
        {"policies",
         {{{"id", 12}, {"version", 3}, {"content", {{"module", "wifi"}, {"runcycle", 60}, {"content", {{"a", 1}}}}}},
          {{"id", 13}, {"version", 2}, {"content", {{"module", "usb"}, {"content", {{"b", 2}}}}}},
          {{"id", big}, {"version", 1}, {"content", {{"module", "dns"}, {"content", Json::array({1})}}}}}}};
    ZemTestServer server(root_, script);
    ASSERT_GT(server.port(), 0);
    startHollin(server.port());

    ASSERT_TRUE(server.waitFor(5002)) << daemonLog();
    const Json asked = server.requests(5002)[0]["body"];
    std::vector<int64_t> ids;
    for (const auto& v : asked["reqPolicyIdArray"]) ids.push_back(v.is_string() ? std::stoll(v.get<std::string>()) : v.get<int64_t>());
    EXPECT_EQ(ids, (std::vector<int64_t>{12, big})) << asked.dump();

    const std::string runnerFile = root_ + "/runner.jsonl";
    ASSERT_TRUE(waitUntil([&] { return !recorded(runnerFile, "executePolicy:").empty(); }, 30s)) << daemonLog();
    const Json states = Json::parse(recorded(runnerFile, "executePolicy:")[0]["args"][0].get<std::string>());
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0]["policyId"], "12");
    EXPECT_EQ(states[0]["policyVersion"], "3");
    EXPECT_EQ(states[1]["policyId"], std::to_string(big));
    const std::string reportFile = root_ + "/report.jsonl";
    ASSERT_TRUE(waitUntil([&] { return !recorded(reportFile, "reportGetPolicyState:").empty(); }, 30s));
    EXPECT_EQ(recorded(reportFile, "reportGetPolicyState:")[0]["args"][0], states);

    ZemClientFMDB db(root_ + "/Users/.AllUsers/RavAviza/RavAviza.EXE$/RavAviza.sqlite");
    auto all = db.getAllPolicyIds();
    ASSERT_TRUE(all);
    std::sort(all->begin(), all->end());
    EXPECT_EQ(*all, (std::vector<int64_t>{12, 13, big}));  // 99 withdrawn
    auto rows = db.lookupPolicyWithWhere(policydb::PolicyCondition::policyId(12));
    ASSERT_TRUE(rows && rows->size() == 1u);
    EXPECT_EQ((*rows)[0]["policy_version"], 3);
    auto clear = UrlEncode::aes256_decrypt((*rows)[0]["content"].get<std::string>(), "wifi12360");
    ASSERT_TRUE(clear);
    EXPECT_EQ(Json::parse(*clear), Json({{"a", 1}}));
}

// A policy's password and a configuration value reach the database and config.archive, which
// only root reads, and no log line: the reply lines show ids, versions and lengths. No log file
// is readable by other users.
TEST_F(policy_integration, PolicySecretsNeverReachALogAndNoLogIsReadableByOthers) {
    const std::string policySecret = "Wifi-Pa55-3f9a1c-MARKER";
    const std::string configSecret = "Config-Value-77d2-MARKER";
    const Json script = {
        {"commands",
         {{{"cmdType", 5}, {"cmdSeq", 1}, {"deadline", 0}},
          {{"cmdType", 4}, {"cmdSeq", 1}, {"deadline", 0}}}},
        {"policies",
         {{{"id", 21},
           {"version", 4},
           {"content", {{"module", "wifi"}, {"content", {{"ssid", "Corp"}, {"password", policySecret}}}}}}}},
        {"config", {{{"type", 42}, {"value", configSecret}}}}};
    // The server's own script and request log hold the secrets: they lie outside the product's root.
    testsupport::TempFolder serverFolder("reply-int-server");
    ZemTestServer server(serverFolder.path(), script);
    ASSERT_GT(server.port(), 0);
    startHollin(server.port());

    ASSERT_TRUE(waitUntil([&] { return !recorded(root_ + "/runner.jsonl", "executePolicy:").empty(); }, 30s))
        << daemonLog();
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& m : ZemConfigManager::localConfigs())
            if (m.configType == 42) return true;
        return false;
    })) << daemonLog();
    // Both replies were logged, with their secrets withheld.
    ASSERT_TRUE(waitUntil([&] {
        const std::string log = daemonLog();
        return log.find("id_p: 21 version: 4 content: \"<withheld, ") != std::string::npos &&
               log.find("type: 42 value: \"<withheld, ") != std::string::npos;
    })) << daemonLog();
    hollin_.stop();

    size_t logs = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        const std::string text = readText(path);
        EXPECT_EQ(text.find(policySecret), std::string::npos) << path;
        if (entry.path().extension() != ".log") continue;
        ++logs;
        EXPECT_EQ(text.find(configSecret), std::string::npos) << path;
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07, 0u) << path << " is readable by every user";
    }
    EXPECT_GE(logs, 3u);
}

TEST_F(policy_integration, EachCommandLeadsToItsRequestOrPeerCall) {
    // The upgrade app: the stand-in at the upgrade copy's place.
    fs::create_directories(fs::path(paths::upgradeAppExecutable()).parent_path());
    fs::copy_file(PEER_STAND_IN, paths::upgradeAppExecutable());
    // A signed-in console user whose ticket the server reports overdue.
    tempRoot_.signInAtScreen("root");
    fs::create_directories(root_ + "/root");
    AccountModel account;
    account.userid = "u-1";
    account.loginType = 1;
    account.setTicket("TGT-1");
    ASSERT_TRUE(account.save());

    Json commands = Json::array();
    for (int type = 1; type <= 8; ++type) commands.push_back({{"cmdType", type}, {"cmdSeq", 1}, {"deadline", 0}});
    const Json script = {{"commands", commands},
                         {"userTicket", "TGT-1"},
                         {"ticketState", 2},
                         {"upgrade", {{"upType", 1}, {"updateURL", "http://127.0.0.1:1/p.deb"}, {"md5", "m5"}}},
                         {"config", {{{"type", 7}, {"value", "1"}}, {{"type", 3}, {"value", "400"}}}}};
    ZemTestServer server(root_, script);
    ASSERT_GT(server.port(), 0);
    startHollin(server.port());

    struct Case {
        const char* command;
        int action;  // the request the server sees
    };
    for (const Case& c : {Case{"upgrade (1)", 2000}, Case{"configuration (4)", 6000}, Case{"policy (5, 8)", 5001}}) {
        SCOPED_TRACE(c.command);
        EXPECT_TRUE(server.waitFor(c.action)) << daemonLog();
    }
    // Debug log (3): the report service is asked to upload.
    EXPECT_TRUE(waitUntil([&] { return !recorded(root_ + "/report.jsonl", "uploadDebugLog").empty(); }, 30s));
    // The upgrade answer reaches the upgrade app as JSON.
    const std::string upgradeFile = root_ + "/upgrade-calls.jsonl";
    ASSERT_TRUE(waitUntil([&] { return !recorded(upgradeFile, "startUpgradeApp:").empty(); }, 40s)) << daemonLog();
    EXPECT_EQ(Json::parse(recorded(upgradeFile, "startUpgradeApp:")[0]["args"][0].get<std::string>()),
              Json({{"type", 1}, {"url", "http://127.0.0.1:1/p.deb"}, {"md5", "m5"}}));
    // The configuration reply is stored.
    EXPECT_TRUE(waitUntil([&] {
        for (const auto& m : ZemConfigManager::localConfigs())
            if (m.configType == 3 && m.configValue == "400") return true;
        return false;
    })) << daemonLog();
    // The overdue ticket is marked in the account record.
    EXPECT_TRUE(waitUntil([&] {
        auto m = AccountModel::currentModel();
        return m && m->ticket_state == 2;
    })) << daemonLog();
    EXPECT_EQ(server.requests(2000).size(), 1u);

    // The messaging port names the last good server.
    ASSERT_TRUE(waitUntil([&] {
        auto r = ZemNetworkInfoModel::currentNetRecord();
        return r && r->record_port == static_cast<uint64_t>(server.port());
    }));
    TesselClient client;
    client.setSendTimeout(5);
    client.setReceiveTimeout(5);
    auto answer = client.sendMessageWithName("HollinIPCListenKey", {}, 20001);
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::string(answer->begin(), answer->end()), "http://127.0.0.1:" + std::to_string(server.port()));
}

}  // namespace
