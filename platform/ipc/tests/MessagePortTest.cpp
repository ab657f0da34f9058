#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestRoot.h"
#include "platform/ipc/MessagePort.h"

namespace ipc {
namespace {

using ipctest::uniqueName;
using namespace std::chrono_literals;

// A port served on a thread of the test.
class ServedPort {
  public:
    ServedPort(const std::string& name, LocalMessagePort::Callback callback)
        : port_(LocalMessagePort::create(name, std::move(callback))) {
        if (port_) thread_ = std::thread([p = port_] { p->run(); });
    }
    ~ServedPort() {
        if (port_) port_->invalidate();
        if (thread_.joinable()) thread_.join();
    }
    LocalMessagePort* operator->() { return port_.get(); }
    explicit operator bool() const { return port_ != nullptr; }

  private:
    std::shared_ptr<LocalMessagePort> port_;
    std::thread thread_;
};

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(platform_ipc_MessagePort, RepliesCarryTheCallbacksDataOrNothing) {
    struct Case {
        const char* what;
        std::optional<Bytes> answer;
    };
    const Case cases[] = {
        {"blob", bytes("four")},
        {"empty blob", Bytes{}},
        {"nothing", std::nullopt},
    };
    for (const Case& c : cases) {
        std::string name = uniqueName("reply");
        ServedPort port(name, [&](LocalMessagePort&, int32_t, const Bytes&) { return c.answer; });
        ASSERT_TRUE(port);
        MessageReply reply = sendMessage(name, 1, {}, 5, 5);
        EXPECT_EQ(reply.status, MessageStatus::Success) << c.what;
        EXPECT_EQ(reply.data, c.answer) << c.what;
    }
}

TEST(platform_ipc_MessagePort, CallbackGetsTheIdAndDataAndAnswersInOrder) {
    std::string name = uniqueName("echo");
    ServedPort port(name, [](LocalMessagePort& self, int32_t msgid, const Bytes& data) {
        std::string text =
            self.name() + ":" + std::to_string(msgid) + ":" + std::string(data.begin(), data.end());
        return std::optional<Bytes>(bytes(text));
    });
    ASSERT_TRUE(port);
    for (int32_t id : {100000, -1, 0}) {
        Bytes big(200000, 'x');
        MessageReply reply = sendMessage(name, id, big, 5, 5);
        ASSERT_EQ(reply.status, MessageStatus::Success);
        EXPECT_EQ(*reply.data,
                  bytes(name + ":" + std::to_string(id) + ":" + std::string(big.begin(), big.end())));
    }
}

TEST(platform_ipc_MessagePort, SlowAnswerGivesReceiveTimeoutOnTime) {
    std::string name = uniqueName("slow");
    ServedPort port(name, [](LocalMessagePort&, int32_t, const Bytes&) {
        std::this_thread::sleep_for(1500ms);
        return std::optional<Bytes>(bytes("late"));
    });
    ASSERT_TRUE(port);
    auto start = std::chrono::steady_clock::now();
    MessageReply reply = sendMessage(name, 1, {}, 5, 0.3);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.status, MessageStatus::ReceiveTimeout);
    EXPECT_FALSE(reply.data);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1200ms);
}

TEST(platform_ipc_MessagePort, ServerClosingWithoutReplyMeansThePortBecameInvalid) {
    std::string name = uniqueName("dies");
    auto endpoint = ListeningEndpoint::open(ServiceKind::MessagePort, name, false);
    ASSERT_TRUE(endpoint);
    std::thread server([&] {
        // Takes the request, then goes away as a crashing server would.
        for (int i = 0; i < 200; ++i) {
            UniqueFd c(::accept4(endpoint->fd(), nullptr, nullptr, SOCK_CLOEXEC));
            if (c.valid()) {
                std::vector<uint8_t> request;
                readFrame(c.get(), request, 1 << 20, deadlineAfter(2));
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    });
    MessageReply reply = sendMessage(name, 7, bytes("x"), 5, 5);
    server.join();
    EXPECT_EQ(reply.status, MessageStatus::BecameInvalid);
}

TEST(platform_ipc_MessagePort, InvalidateGivesTheNameUpAtOnce) {
    std::string name = uniqueName("stop");
    std::atomic<bool> inCallback{false};
    std::atomic<bool> release{false};
    ServedPort port(name, [&](LocalMessagePort&, int32_t, const Bytes&) {
        inCallback = true;
        while (!release) std::this_thread::sleep_for(5ms);
        return std::optional<Bytes>(bytes("done"));
    });
    ASSERT_TRUE(port);
    std::thread pending([&] { EXPECT_EQ(sendMessage(name, 1, {}, 5, 5).status, MessageStatus::Success); });
    while (!inCallback) std::this_thread::sleep_for(5ms);

    port->invalidate();
    // While the old port still answers its message, the name is free for a new one.
    EXPECT_EQ(sendMessage(name, 1, {}, 1, 1).status, MessageStatus::NoSuchPort);
    EXPECT_FALSE(canOpenPort(name));
    ServedPort successor(name,
                         [](LocalMessagePort&, int32_t, const Bytes&) { return std::optional<Bytes>(); });
    EXPECT_TRUE(successor);
    release = true;
    pending.join();
    EXPECT_TRUE(port->waitUntilStopped(5));
}

TEST(platform_ipc_MessagePort, QuietOrHalfSentClientsDoNotHoldOthersUp) {
    std::string name = uniqueName("quiet");
    ServedPort port(
        name, [](LocalMessagePort&, int32_t, const Bytes&) { return std::optional<Bytes>(bytes("ok")); });
    ASSERT_TRUE(port);
    UniqueFd quiet = connectToService(ServiceKind::MessagePort, name, deadlineAfter(1));
    UniqueFd half = connectToService(ServiceKind::MessagePort, name, deadlineAfter(1));
    ASSERT_TRUE(quiet.valid() && half.valid());
    const uint8_t partial[] = {0, 0, 0, 10, 1};
    ASSERT_EQ(::send(half.get(), partial, sizeof partial, MSG_NOSIGNAL), ssize_t(sizeof partial));

    auto start = std::chrono::steady_clock::now();
    MessageReply reply = sendMessage(name, 1, {}, 2, 2);
    EXPECT_EQ(reply.status, MessageStatus::Success);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(platform_ipc_MessagePort, SecondPortOnAHeldNameIsNotCreated) {
    std::string name = uniqueName("twice");
    ServedPort first(name, [](LocalMessagePort&, int32_t, const Bytes&) { return std::optional<Bytes>(); });
    ASSERT_TRUE(first);
    EXPECT_FALSE(LocalMessagePort::create(
        name, [](LocalMessagePort&, int32_t, const Bytes&) { return std::optional<Bytes>(); }));
    // Port names compare ignoring case.
    std::string upper = name;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_FALSE(LocalMessagePort::create(
        upper, [](LocalMessagePort&, int32_t, const Bytes&) { return std::optional<Bytes>(); }));
    EXPECT_EQ(sendMessage(upper, 1, {}, 1, 1).status, MessageStatus::Success);
}

}  // namespace
}  // namespace ipc
