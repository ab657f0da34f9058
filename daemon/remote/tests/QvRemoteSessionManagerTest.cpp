#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestFiles.h"
#include "daemon/remote/QvRemoteSessionManager.h"

using nlohmann::json;
using hollin::CommandOutcome;
using hollin::CommandRunner;
using hollin::QvRemoteSessionManager;
using hollin::RemoteSessionConfig;
using hollin::ScreenSharingService;

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

template <class F>
bool eventually(F condition) {
    return testsupport::eventually(condition, kDeadline, std::chrono::milliseconds(2));
}

int listenLoopback(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int acceptWithin(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads one HTTP-like message (header, then Content-Length bytes) from a socket; "" at end or time-out.
std::string readMessage(int fd, std::string& buffer) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        const size_t headerEnd = buffer.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            size_t length = 0;
            const size_t at = buffer.find("Content-Length: ");
            if (at != std::string::npos && at < headerEnd) length = std::stoul(buffer.substr(at + 16));
            if (buffer.size() >= headerEnd + 4 + length) {
                std::string message = buffer.substr(0, headerEnd + 4 + length);
                buffer.erase(0, message.size());
                return message;
            }
        }
        pollfd p{fd, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return "";
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return "";
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

std::string bodyOf(const std::string& message) {
    return message.substr(message.find("\r\n\r\n") + 4);
}

// The remote-session server's report service: answers each POST with a JSON reply.
class ReportServer {
  public:
    ReportServer() {
        listener_ = listenLoopback(&port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ReportServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(m_);
        return requests_;
    }
    std::atomic<int> errCode{0};
    uint16_t port = 0;

  private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string buffer;
            const std::string request = readMessage(fd, buffer);
            {
                std::lock_guard lock(m_);
                requests_.push_back(request);
            }
            const std::string body = "{\"ErrCode\":" + std::to_string(errCode.load()) + ",\"Msg\":\"ok\"}";
            const std::string reply =
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            [[maybe_unused]] const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    }
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> requests_;
};

std::string serverMessage(const std::string& url, const json& body) {
    const std::string text = body.dump();
    return "HTTP/1.1 200 OK\r\nUrl:" + url +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(text.size()) +
           "\r\n\r\n" + text;
}

std::string activation(const std::string& device, const std::string& activate) {
    return serverMessage("/remote/ActiveServiceForMachine", {{"DeviceID", device}, {"Activate", activate}});
}

class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            ::unsetenv(name);
        }
        listener = listenLoopback(&port);
        ASSERT_GE(listener, 0);
    }
    void TearDown() override {
        if (manager) {
            manager->disconnectSocket(true);
            // Handling still queued logs through this fixture: let it finish first.
            manager->waitIdle();
        }
        manager.reset();
        if (peer >= 0) ::close(peer);
        ::close(listener);
    }

    // unit: the configured screen-sharing unit, or none.
    void makeManager(std::optional<std::string> unit) {
        RemoteSessionConfig config;
        config.host = "127.0.0.1";
        config.port = port;
        config.reportPort = reports.port;
        config.deviceName = "desk-7";
        config.deviceID = "UUID-OURS";
        config.clock = &clock;
        config.log = [this](const std::string& line) {
            std::lock_guard lock(m);
            logs.push_back(line);
        };
        // A stand-in for systemctl: records the calls and keeps the unit's state.
        CommandRunner runner = [this](const std::string& path, const std::vector<std::string>& argv,
                                      std::chrono::milliseconds) {
            {
                std::unique_lock hold(gateMutex);
                gate.wait_for(hold, kDeadline, [&] { return !holdRunner; });
            }
            std::lock_guard lock(m);
            std::string call = path;
            for (const auto& a : argv) call += " " + a;
            calls.push_back(call);
            CommandOutcome outcome{true, "", ""};
            if (argv.at(0) == "enable") unitActive = true;
            if (argv.at(0) == "disable") unitActive = false;
            if (argv.at(0) == "is-active") outcome.output = unitActive ? "active\n" : "inactive\n";
            return outcome;
        };
        config.screenSharing = std::make_shared<ScreenSharingService>(unit, runner, config.log);
        manager = QvRemoteSessionManager::create(config);
    }

    // Connects and reads the first keep-alive.
    void connect() {
        ASSERT_TRUE(manager->startConnectToHost());
        peer = acceptWithin(listener);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(
            eventually([&] { return manager->connectStatus() == QvRemoteSessionManager::kConnected; }));
        const std::string first = readMessage(peer, buffer);
        ASSERT_EQ(first.rfind("POST /remote/Keepalive HTTP/1.1\r\n", 0), 0u) << first;
    }
    void sendToClient(const std::string& bytes) {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<std::string> callsNow() {
        std::lock_guard lock(m);
        return calls;
    }
    size_t countLogged(const std::string& text) {
        std::lock_guard lock(m);
        size_t n = 0;
        for (const auto& l : logs) n += l.find(text) != std::string::npos;
        return n;
    }

    bool logged(const std::string& text) {
        std::lock_guard lock(m);
        for (const auto& l : logs)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    dispatch::ManualClock clock;
    ReportServer reports;
    int listener = -1;
    uint16_t port = 0;
    int peer = -1;
    std::string buffer;
    std::shared_ptr<QvRemoteSessionManager> manager;
    std::mutex m;
    std::vector<std::string> logs;
    std::vector<std::string> calls;
    std::atomic<bool> unitActive{false};
    std::mutex gateMutex;
    std::condition_variable gate;
    bool holdRunner = false;  // the stand-in systemctl waits while set
};

TEST_F(ChannelTest, KeepAliveHasTheWireFormAndFollowsTheClock) {
    makeManager(std::nullopt);
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kNotConnected);
    ASSERT_TRUE(manager->startConnectToHost());
    EXPECT_TRUE(manager->startConnectToHost());  // already under way: nothing new
    peer = acceptWithin(listener);
    ASSERT_GE(peer, 0);
    const std::string first = readMessage(peer, buffer);
    const std::string body = bodyOf(first);
    EXPECT_EQ(first.substr(0, first.size() - body.size()),
              "POST /remote/Keepalive HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n"
              "Content-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n");
    EXPECT_EQ(json::parse(body), (json{{"DeviceName", "desk-7"}, {"DeviceID", "UUID-OURS"}}));
    EXPECT_EQ(manager->lastKeepAliveTime(), clock.now());

    // Before the interval no keep-alive goes out: the next message is the query sent after the tick.
    clock.advance(59);
    manager->tick();
    manager->keepLongConnectionWithType(QvRemoteSessionManager::kQuery);
    EXPECT_EQ(readMessage(peer, buffer).rfind("POST /remote/ActiveServiceForMachine HTTP/1.1\r\n", 0), 0u);
    clock.advance(60);
    manager->tick();
    EXPECT_EQ(readMessage(peer, buffer).rfind("POST /remote/Keepalive HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(manager->lastKeepAliveTime(), clock.now());
}

TEST_F(ChannelTest, ActivationSwitchesTheConfiguredUnitAndReportsTheResult) {
    makeManager("x11vnc.service");
    connect();
    // One chunk: a keep-alive answer, another device's activation, ours, and the start of a
    // deactivation whose rest comes in the next read.
    const std::string off = activation("UUID-OURS", "0");
    sendToClient(serverMessage("/remote/Keepalive", json::object()) + activation("UUID-OTHER", "1") +
                 activation("UUID-OURS", "1") + off.substr(0, 30));
    ASSERT_TRUE(eventually([&] { return reports.requests().size() == 1; }));
    const std::string report = reports.requests().front();
    EXPECT_EQ(report.rfind("POST /remote/ActiveResultReport HTTP/1.1\r\n", 0), 0u) << report;
    EXPECT_NE(report.find("Content-Type: text/xml; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(json::parse(bodyOf(report)), (json{{"DeviceID", "UUID-OURS"}, {"Result", "1"}}));
    EXPECT_EQ(callsNow(), (std::vector<std::string>{"/usr/bin/systemctl enable --now x11vnc.service",
                                                    "/usr/bin/systemctl is-active x11vnc.service"}));
    EXPECT_TRUE(manager->getRemoteServiceState());
    const size_t before = callsNow().size();

    sendToClient(off.substr(30));
    ASSERT_TRUE(eventually([&] { return !unitActive; }));
    manager->waitIdle();
    EXPECT_EQ(callsNow().at(before), "/usr/bin/systemctl disable --now x11vnc.service");
    EXPECT_EQ(reports.requests().size(), 1u);  // only an activation is reported
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kConnected);
}

TEST_F(ChannelTest, WithoutConfigurationActivationIsRefusedAndReportedAsFailed) {
    makeManager(std::nullopt);
    connect();
    sendToClient(activation("UUID-OURS", "1"));
    ASSERT_TRUE(eventually([&] { return reports.requests().size() == 1; }));
    EXPECT_EQ(json::parse(bodyOf(reports.requests().front()))["Result"], "0");
    EXPECT_TRUE(callsNow().empty());
    EXPECT_TRUE(eventually([&] { return logged("refused"); }));
}

TEST_F(ChannelTest, HostileMessagesChangeNothing) {
    makeManager("x11vnc.service");
    connect();
    const std::string hostile[] = {
        serverMessage("/remote/ActiveServiceForMachine", {{"DeviceID", ""}, {"Activate", "1"}}),
        serverMessage("/remote/ActiveServiceForMachine", {{"DeviceID", {"UUID-OURS"}}, {"Activate", "1"}}),
        serverMessage("/remote/ActiveServiceForMachine", json::array({"DeviceID", "Activate"})),
        "HTTP/1.1 200 OK\r\nUrl:/remote/ActiveServiceForMachine\r\nContent-Length: "
        "20\r\n\r\n{\"DeviceID\":\"Activate",
        "HTTP/1.1 200 OK\r\nUrl:/remote/ActiveServiceForMachine\r\nContent-Length: 4\r\n\r\n\xff\xfe\xfd\xfc",
        serverMessage("/remote/Other", {{"DeviceID", "UUID-OURS"}, {"Activate", "1"}}),
    };
    for (const auto& h : hostile) sendToClient(h);
    sendToClient(serverMessage("/remote/Keepalive", json::object()));
    ASSERT_TRUE(eventually([&] { return logged("socket receive response."); }));
    manager->waitIdle();
    EXPECT_TRUE(callsNow().empty());
    EXPECT_TRUE(reports.requests().empty());
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kConnected);
}

TEST_F(ChannelTest, FloodOfMessagesIsBoundedWhileHandlingIsSlow) {
    makeManager("x11vnc.service");
    connect();
    {
        std::lock_guard hold(gateMutex);
        holdRunner = true;
    }
    std::string flood;
    for (int i = 0; i < 3 * QvRemoteSessionManager::kMaxQueuedMessages; ++i)
        flood += activation("UUID-OURS", "0");
    sendToClient(flood);
    // Release the handler only once the whole flood has been read: what was not queued is dropped.
    const size_t total = 3 * QvRemoteSessionManager::kMaxQueuedMessages;
    ASSERT_TRUE(eventually([&] {
        return countLogged("too many messages waiting") >= total - QvRemoteSessionManager::kMaxQueuedMessages;
    }));
    {
        std::lock_guard hold(gateMutex);
        holdRunner = false;
    }
    gate.notify_all();
    manager->waitIdle();
    size_t disables = 0;
    for (const auto& call : callsNow()) disables += call.find(" disable ") != std::string::npos;
    EXPECT_GE(disables, 1u);
    EXPECT_LE(disables, static_cast<size_t>(QvRemoteSessionManager::kMaxQueuedMessages));
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kConnected);
}

TEST_F(ChannelTest, BrokenFramingDropsTheConnection) {
    makeManager(std::nullopt);
    connect();
    sendToClient("HTTP/1.1 200 OK\r\nContent-Length: lots\r\n\r\n");
    ASSERT_TRUE(
        eventually([&] { return manager->connectStatus() == QvRemoteSessionManager::kNotConnected; }));
    EXPECT_TRUE(eventually([&] { return logged("socket is disconnect. Error: malformed message framing"); }));
    EXPECT_EQ(readMessage(peer, buffer), "");  // the server sees the close
}

TEST_F(ChannelTest, HalfReadMessageTimesOutOnTheClock) {
    makeManager(std::nullopt);
    connect();
    sendToClient(activation("UUID-OURS", "1").substr(0, 40));
    ASSERT_TRUE(eventually([&] { return logged("less total length"); }));
    clock.advance(59);
    manager->tick();
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kConnected);
    clock.advance(2);
    manager->tick();
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kNotConnected);
    EXPECT_TRUE(eventually([&] { return logged("socket read timeout...."); }));
}

TEST_F(ChannelTest, ServerCloseDisconnectsAndRestartReconnectsUnlessStopped) {
    makeManager(std::nullopt);
    connect();
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(
        eventually([&] { return manager->connectStatus() == QvRemoteSessionManager::kNotConnected; }));
    EXPECT_TRUE(eventually([&] { return logged("socket is disconnect. Error: closed by the server"); }));
    manager->keepLongConnectionWithType(QvRemoteSessionManager::kKeepAlive);
    EXPECT_TRUE(
        eventually([&] { return logged("socket has disconnected, stop sending keep long connection"); }));

    manager->reastartConnectToHost();
    peer = acceptWithin(listener);
    ASSERT_GE(peer, 0);
    buffer.clear();
    EXPECT_EQ(readMessage(peer, buffer).rfind("POST /remote/Keepalive", 0), 0u);
    ASSERT_TRUE(eventually([&] { return manager->connectStatus() == QvRemoteSessionManager::kConnected; }));

    manager->disconnectSocket(true);
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kNotConnected);
    manager->reastartConnectToHost();  // stopped: stays down
    EXPECT_EQ(manager->connectStatus(), QvRemoteSessionManager::kNotConnected);
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}

TEST_F(ChannelTest, RefusedConnectEndsNotConnected) {
    ::close(listener);
    listener = -1;
    port = static_cast<uint16_t>(testsupport::closedPort());
    makeManager(std::nullopt);
    manager->startConnectToHost();
    ASSERT_TRUE(
        eventually([&] { return manager->connectStatus() == QvRemoteSessionManager::kNotConnected; }));
    listener = listenLoopback(&port);
}

TEST_F(ChannelTest, StatusReportCarriesTheServiceStateAndReadsErrCode) {
    makeManager("x11vnc.service");
    unitActive = true;
    bool ok = false;
    json reply;
    manager->reportActiveStatusWithComplete([&](bool success, json r) {
        ok = success;
        reply = std::move(r);
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(reply["Msg"], "ok");
    ASSERT_EQ(reports.requests().size(), 1u);
    const std::string request = reports.requests().front();
    EXPECT_EQ(request.rfind("POST /remote/ReportStatus HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(json::parse(bodyOf(request)), (json{{"ServiceStatus", "on"},
                                                  {"Port", 5900},
                                                  {"Proxy", ""},
                                                  {"FirewallRule", "OK"},
                                                  {"DeviceID", "UUID-OURS"}}));
    reports.errCode = 3;
    manager->reportActiveStatus(true, 5900, [&](bool success, json r) {
        ok = success;
        reply = std::move(r);
    });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(reply.is_null());
}

}  // namespace
