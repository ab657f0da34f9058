// `Hollin -run` in a temporary root against the test management server: the heartbeat that the
// scheduler sends one second after start carries the device facts, the command state and the
// ticket; a failing server passes the request on to the next configured one; the server that
// answered is recorded as the last good server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "common/command/ZemCMDManager.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "daemon/store/ZemConfigManager.h"

using common::AccountModel;
using common::ZemCMDManager;
using common::ZemCMDModel;
using common::ZemNetworkInfoModel;
using hollin::ZemConfigManager;
using hollin::ZemConfigModel;

using namespace linktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// One run of the test management server, its requests decoded into a JSON-lines file.
class ZemTestServer {
  public:
    ZemTestServer(const std::string& folder, const std::string& name, const Json& script) {
        script_ = folder + "/" + name + "-script.json";
        log_ = folder + "/" + name + "-requests.jsonl";
        writeText(script_, script.dump());
        if (child_.start({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR, "--script",
                          script_, "--log", log_})) {
            const std::string line = child_.readLine();
            if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
        }
    }
    int port() const { return port_; }
    // The decoded requests of one path, in arrival order.
    std::vector<Json> requests(const std::string& path) const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);) {
            Json record = Json::parse(line, nullptr, false);
            if (!record.is_discarded() && record.value("path", "") == path) out.push_back(record);
        }
        return out;
    }
    bool waitFor(const std::string& path, size_t n, std::chrono::milliseconds limit = 20s) const {
        return waitUntil([&] { return requests(path).size() >= n; }, limit);
    }

  private:
    Child child_;
    std::string script_;
    std::string log_;
    int port_ = 0;
};

class serverlink_integration : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "the daemon's -run job needs root";
        prepareRoot();
    }
    void TearDown() override { cleanRoot(); }

    void prepareRoot() {
        tempRoot_.emplace("serverlink-int");
        root_ = tempRoot_->path();
        // The daemon takes the environment's proxy; these servers are reached directly.
        testsupport::clearProxyEnvironment();
        fs::create_directories(paths::machineSupportFolder());
        fs::create_directories(paths::productRoot());
        // The scheduler runs the heartbeat 1 s after start when its interval reads 1 s.
        ZemConfigManager configs(ZemConfigManager::localPath());
        configs.updateMemoryConfigs({ZemConfigModel::initWith(ZemConfigManager::kHeartbeatType, "1")});
        configs.saveConfigToLocal();
        // The servers answer no network-type probe: keep the type the probe will find (2, all
        // servers) so that no change of type moves the link meanwhile.
        ZemNetworkInfoModel record;
        record.networkType = 2;
        ASSERT_TRUE(record.saveModelRecord());
    }

    void cleanRoot() {
        hollin_.stop();
        tempRoot_.reset();
    }

    // .ZemConfig with loopback servers: intranet, then extranet.
    void configure(const std::vector<int>& ports) {
        archive::Array entries;
        for (int port : ports) entries.push_back(archive::Array{"127.0.0.1", std::to_string(port)});
        ASSERT_TRUE(archive::archiveRootObjectToFile(entries, paths::serverConfigFile()));
    }

    void startHollin() {
        ASSERT_TRUE(
            hollin_.start({HOLLIN_EXECUTABLE, "-run"}, {"RAVAVIZA_ROOT=" + root_}, root_ + "/hollin.out"));
    }

    std::string daemonLog() const {
        return readText(root_ + "/Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log");
    }

    std::optional<testsupport::TempRoot> tempRoot_;
    std::string root_;
    Child hollin_;
};

std::string field(const Json& object, const std::string& key) {
    if (!object.contains(key)) return "<missing>";
    return object[key].is_string() ? object[key].get<std::string>() : object[key].dump();
}

}  // namespace

TEST_F(serverlink_integration, HeartbeatCarriesDeviceFactsCommandStateAndTicket) {
    // Device facts of the machine, the console user with an account, two carried-out commands.
    auto fixture = [&](const std::string& path, const std::string& text) { writeText(root_ + path, text); };
    fixture("/sys/class/dmi/id/board_serial", "BRD-1\n");
    fixture("/sys/class/dmi/id/product_serial", "C02XYZ\n");
    fixture("/sys/class/dmi/id/product_name", "Workstation 7\n");
    tempRoot_->signInAtScreen("root");
    fs::create_directories(root_ + "/root");
    fs::create_directories(paths::uiAppBundle() + "/Contents");
    ASSERT_TRUE(archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", "5.2.1.3"}},
                                        paths::uiAppBundle() + "/Contents/Info.plist"));
    AccountModel account;
    account.userid = "u-17";
    account.username = "ana";
    account.setTicket("TGT-8841");
    ASSERT_TRUE(account.save());
    {
        ZemCMDManager commands(ZemCMDManager::createSavePath());
        for (auto [type, seq] : {std::pair{5, 7}, std::pair{1, 3}}) {
            ZemCMDModel m;
            m.cmd_type = type;
            m.curr_seq = seq;
            commands.updateMemoryCmdModel(m);
        }
        commands.waitForPendingChanges();
    }

    ZemTestServer server(root_, "server", Json::object());
    ASSERT_GT(server.port(), 0);
    configure({server.port(), server.port()});
    startHollin();
    ASSERT_TRUE(server.waitFor("yj/heartbeat", 1)) << daemonLog();

    const Json heartbeat = server.requests("yj/heartbeat")[0];
    ASSERT_FALSE(heartbeat.contains("error")) << heartbeat.dump();
    EXPECT_EQ(heartbeat["action"], 1000);
    const Json& head = heartbeat["head"];
    EXPECT_EQ(field(head, "zemVer"), "5.2.1.3");
    EXPECT_EQ(field(head, "majorVersion"), "5");
    EXPECT_EQ(field(head, "userId"), "u-17");
    const Json& body = heartbeat["body"];
    EXPECT_EQ(field(body, "mbSn"), "BRD-1");
    EXPECT_EQ(field(body, "biosSnNum"), "C02XYZ");
    EXPECT_EQ(field(body, "compModelName"), "Workstation 7");
    EXPECT_EQ(field(body, "userTicket"), "TGT-8841");
    EXPECT_EQ(field(body, "loginUser"), "ana");
    std::map<int, std::string> sequences;
    for (const Json& item : body["reqItemsArray"])
        sequences[item.value("cmdType", 0)] = field(item, "lastSeq");
    EXPECT_EQ(sequences.size(), 8u);
    EXPECT_EQ(sequences[5], "7");
    EXPECT_EQ(sequences[1], "3");
    EXPECT_EQ(sequences[2], "0");

    // The reply parsed, so this server is now the last good one.
    ASSERT_TRUE(waitUntil([&] {
        auto r = ZemNetworkInfoModel::currentNetRecord();
        return r && r->record_port == static_cast<uint64_t>(server.port());
    }));
    EXPECT_EQ(ZemNetworkInfoModel::currentNetRecord()->record_server, "127.0.0.1");
}

TEST_F(serverlink_integration, FailingServerPassesTheHeartbeatToTheNextAndTheAnswererIsRecorded) {
    struct Case {
        const char* name;
        bool refuse;  // nothing listens on the first server; otherwise it answers 500
    };
    for (const Case& c : {Case{"status 500", false}, Case{"refused", true}}) {
        SCOPED_TRACE(c.name);
        if (c.refuse) {
            cleanRoot();
            prepareRoot();
        }
        std::unique_ptr<ZemTestServer> first;
        if (!c.refuse) {
            first = std::make_unique<ZemTestServer>(
                root_, "first",
                Json{{"replies", {{"yj/heartbeat", Json::array({{{"status", 500}, {"repeat", true}}})}}}});
        }
        ZemTestServer second(root_, "second", Json::object());
        const int firstPort = first ? first->port() : closedPort();
        configure({firstPort, second.port()});
        startHollin();

        ASSERT_TRUE(second.waitFor("yj/heartbeat", 1)) << daemonLog();
        if (first) {
            ASSERT_EQ(first->requests("yj/heartbeat").size(), 1u);
            // The same request, not a new one built for the second server.
            EXPECT_EQ(first->requests("yj/heartbeat")[0]["body"], second.requests("yj/heartbeat")[0]["body"]);
        }
        ASSERT_TRUE(waitUntil([&] {
            auto r = ZemNetworkInfoModel::currentNetRecord();
            return r && r->record_port == static_cast<uint64_t>(second.port());
        })) << daemonLog();
        // The daemon's log is written on its own queue, a moment after the record.
        const std::string saved = "[ZemSocketManager]Save ConnectToHost Success: host:127.0.0.1-----port:" +
                                  std::to_string(second.port());
        EXPECT_TRUE(waitUntil([&] { return daemonLog().find(saved) != std::string::npos; })) << daemonLog();
        EXPECT_NE(daemonLog().find("[ZemSocketManager]response data fail: heartbeat"), std::string::npos);
    }
}
