#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "tests/support/PortServer.h"
#include "tests/records/support/RecordsTestSupport.h"
#include "tests/support/TestFiles.h"
#include "common/account/AccountManager.h"
#include "platform/archive/KeyedArchive.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/records/ZemMachineModel.h"
#include "common/server/ZemServerConfig.h"

using common::AccountManager;
using common::LogCoreHelper;
using common::ZemServerConfig;
using hollin::ZemMachineManager;

extern char** environ;

using recordstest::TempRoot;
using recordstest::writeFile;
using Clock = std::chrono::steady_clock;

namespace {

// One run of http_test_server.py: started with an argument vector, its port read from its first
// line, stopped when the object goes.
class HttpServer {
  public:
    explicit HttpServer(std::vector<std::string> options, std::string log = "")
        : log_(std::move(log)), server_(arguments(std::move(options), log_), std::chrono::seconds(10)) {}
    int port() const { return server_.port(); }
    std::string requests() const { return log_.empty() ? "" : recordstest::readFile(log_); }

  private:
    static std::vector<std::string> arguments(std::vector<std::string> options, const std::string& log) {
        std::vector<std::string> args = {RAVAVIZA_PYTHON, RECORDS_HTTP_SERVER};
        args.insert(args.end(), options.begin(), options.end());
        if (!log.empty()) args.insert(args.end(), {"--log", log});
        return args;
    }
    std::string log_;
    testsupport::PortServer server_;
};

using testsupport::closedPort;

class RecordsHttpTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(paths::machineSupportFolder()); }
    void TearDown() override { LogCoreHelper::sharedInstance().flush(); }

    void configure(int intranetPort, int extranetPort) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(intranetPort)},
                           archive::Array{"127.0.0.1", std::to_string(extranetPort)}},
            paths::serverConfigFile()));
    }
    // Runs the probe on a fresh configuration; returns the type and the seconds it took.
    std::pair<int64_t, double> probe() {
        ZemServerConfig config;
        int64_t type = -1;
        auto start = Clock::now();
        AccountManager::shareManager().NetWorkType(config, [&](int64_t t) { type = t; });
        return {type, std::chrono::duration<double>(Clock::now() - start).count()};
    }
    std::string logPath(const char* name) const { return root_.path() + "/" + name + ".log"; }

    TempRoot root_;
};

}  // namespace

TEST_F(RecordsHttpTest, AnsweringIntranetGivesZeroWithoutAskingTheExtranet) {
    HttpServer intranet({}, logPath("intranet"));
    HttpServer extranet({}, logPath("extranet"));
    ASSERT_GT(intranet.port(), 0);
    configure(intranet.port(), extranet.port());
    auto [type, seconds] = probe();
    EXPECT_EQ(type, 0);
    EXPECT_EQ(intranet.requests(), "/zem/ping\n");
    EXPECT_EQ(extranet.requests(), "");
    EXPECT_LT(seconds, 2.0);
}

TEST_F(RecordsHttpTest, SilentIntranetAndAnsweringExtranetGivesOneWithinOneWait) {
    HttpServer intranet({"--silent"});
    HttpServer extranet({}, logPath("extranet"));
    ASSERT_GT(intranet.port(), 0);
    configure(intranet.port(), extranet.port());
    auto [type, seconds] = probe();
    EXPECT_EQ(type, 1);
    EXPECT_EQ(extranet.requests(), "/zem/ping\n");
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, std::chrono::duration<double>(AccountManager::kProbeWait).count() + 1.0);
}

TEST_F(RecordsHttpTest, BothSilentGivesTwoWithinTwoWaits) {
    HttpServer intranet({"--silent"});
    HttpServer extranet({"--silent"});
    ASSERT_GT(extranet.port(), 0);
    configure(intranet.port(), extranet.port());
    auto [type, seconds] = probe();
    EXPECT_EQ(type, 2);
    EXPECT_LT(seconds, 2 * std::chrono::duration<double>(AccountManager::kProbeWait).count());
}

TEST_F(RecordsHttpTest, RefusedConnectionsAndAMissingConfigurationGiveTwoAtOnce) {
    configure(closedPort(), closedPort());
    auto [refused, seconds] = probe();
    EXPECT_EQ(refused, 2);
    EXPECT_LT(seconds, 1.5);

    std::filesystem::remove(paths::serverConfigFile());
    auto [unconfigured, quick] = probe();
    EXPECT_EQ(unconfigured, 2);
    EXPECT_LT(quick, 0.5);
}

TEST_F(RecordsHttpTest, PingCountsOnlyTwoHundredsWithAJsonOrEmptyBody) {
    struct Case {
        std::vector<std::string> options;
        bool ok;
    };
    const Case cases[] = {
        {{}, true},
        {{"--body", ""}, true},
        {{"--status", "204", "--body", ""}, true},
        {{"--content-type", "application/json; charset=utf-8", "--body", "[1,2]"}, true},
        {{"--content-type", "text/html", "--body", "<html></html>"}, false},
        {{"--body", "not json"}, false},
        {{"--status", "500"}, false},
        {{"--status", "302", "--body", ""}, false},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (const auto& o : c.options) trace += o + " ";
        SCOPED_TRACE(trace);
        HttpServer server(c.options);
        ASSERT_GT(server.port(), 0);
        EXPECT_EQ(
            AccountManager::pingSucceeds("http://127.0.0.1:" + std::to_string(server.port()) + "/zem/ping",
                                         AccountManager::kRequestTimeout),
            c.ok);
    }
}

TEST_F(RecordsHttpTest, DeviceQueryStoresTheMachineTypeAndAddress) {
    writeFile(root_.at("/etc/machine-id"), "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
    struct Case {
        std::string body;
        bool ok;
    };
    const Case cases[] = {
        {R"({"ErrCode":0,"Data":[{"Useage":10,"Ip":"10.2.3.4"},{"Useage":1}]})", true},
        {R"({"ErrCode":1,"Data":[{"Useage":10}]})", false},
        {R"({"ErrCode":0,"Data":[]})", false},
        {R"({"Data":[{"Useage":10}]})", false},
        {"<html>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::filesystem::remove(paths::machineRecordFile());
        HttpServer server({"--body", c.body}, logPath("device"));
        ZemMachineManager manager;
        bool ok = !c.ok;
        std::optional<ErrorValue> error;
        manager.getMachineType(
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/device/GetDeviceByDeviceId",
            [&](bool success, std::optional<ErrorValue> e) {
                ok = success;
                error = e;
            });
        EXPECT_EQ(ok, c.ok);
        EXPECT_FALSE(error);
        EXPECT_EQ(server.requests(),
                  "/api/device/GetDeviceByDeviceId?DeviceId=3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4\n");
        if (c.ok) {
            auto stored = ZemMachineManager().currentMachine();
            ASSERT_TRUE(stored);
            EXPECT_EQ(stored->machineType, "10");
            EXPECT_EQ(stored->ip, "10.2.3.4");
            EXPECT_GT(stored->lastRequestTime, 1.6e9);
        }
        std::filesystem::remove(logPath("device"));
    }

    ZemMachineManager manager;
    bool ok = true;
    std::optional<ErrorValue> error;
    manager.getMachineType(
        "http://127.0.0.1:" + std::to_string(closedPort()) + "/api/device/GetDeviceByDeviceId",
        [&](bool success, std::optional<ErrorValue> e) {
            ok = success;
            error = e;
        });
    EXPECT_FALSE(ok);
    ASSERT_TRUE(error);
    EXPECT_NE(error->code, 0);
}
