// `Tamber -run` in a temporary root: the daemon's policy-state report reaches the test management
// server as action 8200, a report the server refused is cached and sent with the next one, the
// liveness probe answers while a report hangs, and the message port answers its ids.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "bus/PolicyStateReportManager.h"
#include "platform/ipc/MessagePort.h"
#include "platform/ipc/NamedConnection.h"
#include "platform/paths/Paths.h"

using namespace linktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using archive::Array;
using archive::Dictionary;
using archive::Value;

namespace {

class report_integration : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "the service's -run mode needs root";
        temp_.emplace("report-int");
        root_ = temp_->path();
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(name);
        fs::create_directories(paths::machineSupportFolder());
    }
    void TearDown() override {
        tamber_.stop();
        server_.stop();
        temp_.reset();
    }

    void startServer(const Json& script) {
        script_ = root_ + "/script.json";
        log_ = root_ + "/requests.jsonl";
        writeText(script_, script.dump());
        ASSERT_TRUE(server_.start({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR,
                                   "--script", script_, "--log", log_}));
        const std::string line = server_.readLine();
        ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
        const int port = std::stoi(line.substr(5));
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Value(archive::Array{"127.0.0.1", std::to_string(port)})},
            paths::serverConfigFile()));
    }

    void startTamber(const std::string& mode = "-run") {
        ASSERT_TRUE(
            tamber_.start({TAMBER_EXECUTABLE, mode}, {"RAVAVIZA_ROOT=" + root_}, root_ + "/tamber.out"));
        ASSERT_TRUE(waitUntil(
            [&] { return (proxy_ = ipc::ConnectionProxy::lookup("RavAviza_zem_bus_connection")) != nullptr; },
            20s));
    }

    std::vector<Json> requests() const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);) {
            Json record = Json::parse(line, nullptr, false);
            if (!record.is_discarded() && record.value("path", "") == "yj/policystat") out.push_back(record);
        }
        return out;
    }
    static size_t cacheFiles() {
        size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(PolicyStateReportManager::cacheFolder(), ec))
            n += !e.path().empty();
        return n;
    }
    static std::string cacheListing() {
        std::string out = "cache:";
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(PolicyStateReportManager::cacheFolder(), ec))
            out += " " + e.path().filename().string();
        return out + "\n";
    }
    std::string serviceLog() const {
        return "service log:\n" + readText(root_ + "/Library/Logs/RavAviza/v5/Logs/Tamber-Info-1.log");
    }
    // The policy ids of a recorded request, in order (JSON gives 64-bit integers as text).
    static std::vector<std::string> policyIds(const Json& record) {
        std::vector<std::string> ids;
        for (const auto& info : record["body"].value("policyStatInfoArray", Json::array()))
            ids.push_back(info.value("policyId", "0"));
        return ids;
    }
    static Value state(int id, const char* runState) {
        return Dictionary{{"policyId", id},
                          {"policyVersion", 2},
                          {"runState", runState},
                          {"lastTimeStamp", "2026-12-10 08:00:00"}};
    }

    std::optional<testsupport::TempRoot> temp_;
    std::string root_, script_, log_;
    Child server_, tamber_;
    std::shared_ptr<ipc::ConnectionProxy> proxy_;
};

}  // namespace

TEST_F(report_integration, RefusedReportIsCachedAndSentWithTheNextOne) {
    startServer({{"replies", {{"yj/policystat", Json::array({{{"status", 500}}})}}}});
    startTamber();

    auto first = proxy_->call("reportGetPolicyState:", {Value(Array{state(11, "2")})}, 10);
    ASSERT_TRUE(first.ok()) << first.error;
    ASSERT_TRUE(waitUntil([&] { return requests().size() == 1 && cacheFiles() == 1; }, 20s));

    auto second = proxy_->call("reportGetPolicyState:", {Value(Array{state(12, "3"), Value("skipped")})}, 10);
    ASSERT_TRUE(second.ok()) << second.error;
    ASSERT_TRUE(waitUntil([&] { return requests().size() == 2; }, 20s));
    const std::vector<Json> sent = requests();

    EXPECT_EQ(policyIds(sent[0]), (std::vector<std::string>{"11"}));
    // The new state first, then the one the server refused.
    EXPECT_EQ(policyIds(sent[1]), (std::vector<std::string>{"12", "11"}));
    const Json& record = sent[1];
    EXPECT_EQ(record["action"], 8200);
    EXPECT_EQ(record["head"]["action"], 8200);
    EXPECT_TRUE(record["head"].contains("zemVer"));
    const Json& info = record["body"]["policyStatInfoArray"][0];
    EXPECT_EQ(info["status"], 102);
    EXPECT_EQ(info["policyVersion"], "2");
    EXPECT_EQ(info["timeStamp"], "1796860800");  // 2026-12-10 00:00:00 UTC
    EXPECT_EQ(record["body"]["policyStatInfoArray"][1]["status"], 101);
    // Reading the cache emptied it, and the accepted report left nothing behind.
    ASSERT_TRUE(waitUntil([&] {
        return serviceLog().find("[ZemBus][policy state] upload success") != std::string::npos;
    })) << serviceLog();
    EXPECT_EQ(cacheFiles(), 0u) << cacheListing() << serviceLog();
}

TEST_F(report_integration, LivenessAndPortAnswerWhileAReportHangs) {
    startServer({{"replies", {{"yj/policystat", Json::array({{{"silence", true}}})}}}});
    startTamber("-RUN");
    ASSERT_TRUE(proxy_->call("reportGetPolicyState:", {Value(Array{state(1, "0")})}, 10).ok());
    ASSERT_TRUE(waitUntil([&] { return requests().size() == 1; }, 20s));

    auto live = ipc::ConnectionProxy::lookup("RavAviza_report_live_connection");
    ASSERT_TRUE(live);
    EXPECT_EQ(live->call("responseLiveOfBus", {}, 10).value, Value("live"));

    struct Case {
        int32_t msgid;
        std::string data;
        std::string reply;
    } cases[] = {{2000, "x", "1"}, {2000, "", "-1"}, {7, "x", "0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.msgid) + " '" + c.data + "'");
        const auto reply = ipc::sendMessage(
            "ravaviza-qzn-bus-ipc", c.msgid,
            std::span(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size()), 10, 10);
        ASSERT_EQ(reply.status, ipc::MessageStatus::Success);
        ASSERT_TRUE(reply.data);
        EXPECT_EQ(std::string(reply.data->begin(), reply.data->end()), c.reply);
    }
}

TEST_F(report_integration, ProgramExitStatuses) {
    struct Case {
        std::vector<std::string> args;
        bool asNobody;
        int status;
    } cases[] = {
        {{}, false, 0},
        {{"-upload"}, false, 0},
        {{"-run"}, true, 255},
        {{}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.args.empty() ? "<none>" : c.args[0]) + (c.asNobody ? " as nobody" : " as root"));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.asNobody && ::setuid(65534) != 0) ::_exit(100);
            std::vector<char*> argv{const_cast<char*>(TAMBER_EXECUTABLE)};
            for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(101);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
    }
}

TEST_F(report_integration, OnlyRootReachesTheConnections) {
    // The temporary root is open to others, as the real root is: only the connections' own check
    // keeps an unprivileged peer out.
    fs::permissions(root_, fs::perms(0755));
    startServer(Json::object());
    startTamber();
    for (const char* name : {"RavAviza_zem_bus_connection", "RavAviza_report_live_connection"}) {
        SCOPED_TRACE(name);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::setuid(65534) != 0) ::_exit(100);
            auto proxy = ipc::ConnectionProxy::lookup(name);
            const bool reached = proxy && proxy->call("responseLiveOfBus", {}, 5).ok();
            ::_exit(reached ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "an unprivileged peer was served";
    }
    auto live = ipc::ConnectionProxy::lookup("RavAviza_report_live_connection");
    ASSERT_TRUE(live);
    EXPECT_EQ(live->call("responseLiveOfBus", {}, 10).value, Value("live"));
}
