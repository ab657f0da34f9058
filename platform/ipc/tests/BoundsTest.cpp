// What a peer can make a service hold, and what time-outs of zero mean.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestRoot.h"
#include "platform/ipc/MessagePort.h"
#include "platform/ipc/ServeLoop.h"

namespace ipc {
namespace {

using ipctest::uniqueName;
using namespace std::chrono_literals;

struct SocketPair {
    SocketPair() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            a.reset(sv[0]);
            b.reset(sv[1]);
        }
    }
    UniqueFd a, b;
};

void sendHeader(int fd, uint32_t n, size_t bodyBytes = 0) {
    std::vector<uint8_t> bytes{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    bytes.resize(4 + bodyBytes, 'x');
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

// A frame's buffer follows the bytes that arrived, not the length its header announces.
TEST(platform_ipc_Framing, AnnouncedLengthAloneReservesNothingBig) {
    SocketPair pair;
    auto budget = std::make_shared<FrameBudget>(1u << 20, 4u << 20);
    FrameAssembler assembler(32u << 20, budget, 1000);
    std::vector<std::vector<uint8_t>> frames;
    sendHeader(pair.a.get(), 16u << 20, 10);
    EXPECT_EQ(assembler.receive(pair.b.get(), frames), FrameStatus::Ok);
    EXPECT_TRUE(assembler.hasPartialFrame());
    EXPECT_LE(assembler.heldBytes(), 64u * 1024);
    EXPECT_EQ(budget->held(), assembler.heldBytes());

    // The blocking reader too: a 16 MiB announcement fits a 1 MiB budget until bytes come.
    SocketPair other;
    sendHeader(other.a.get(), 16u << 20, 10);
    std::vector<uint8_t> payload;
    EXPECT_EQ(readFrame(other.b.get(), payload, 32u << 20, deadlineAfter(0.05), budget.get(), 1000),
              FrameStatus::TimedOut);
    EXPECT_EQ(budget->held(), assembler.heldBytes()) << "the reader gives back what it took";
}

TEST(platform_ipc_Framing, FramesOverTheBudgetAreRefusedAndItsBytesComeBack) {
    auto budget = std::make_shared<FrameBudget>(256u * 1024, 384u * 1024);
    SocketPair one, two;
    {
        FrameAssembler first(1u << 20, budget, 1000);
        std::vector<std::vector<uint8_t>> frames;
        std::thread push([&] {
            std::vector<uint8_t> body(1u << 20, 'x');
            writeFrame(one.a.get(), body, deadlineAfter(2));
        });
        FrameStatus status = FrameStatus::Ok;
        auto until = std::chrono::steady_clock::now() + 5s;
        while (status == FrameStatus::Ok && std::chrono::steady_clock::now() < until) {
            status = first.receive(one.b.get(), frames);
        }
        EXPECT_EQ(status, FrameStatus::TooLarge);
        EXPECT_LE(budget->held(), 256u * 1024);
        one.b.reset();
        push.join();
    }
    EXPECT_EQ(budget->held(), 0u);
}

TEST(platform_ipc_FrameBudget, UsersAreBoundEachAndTogetherButNeverCrowdRootOut) {
    FrameBudget budget(100, 150);
    struct Step {
        uid_t uid;
        size_t bytes;
        bool taken;
    };
    const Step steps[] = {
        {1000, 100, true}, {1000, 1, false},  // one user's bound
        {1001, 60, false},                    // all users' bound: 100 + 60 > 150
        {1001, 50, true},  {0, 100, true},    // root has its own room
        {0, 1, false},                        // and its own bound
    };
    for (const Step& s : steps) {
        EXPECT_EQ(budget.take(s.uid, s.bytes), s.taken) << "uid " << s.uid << " bytes " << s.bytes;
    }
    EXPECT_EQ(budget.held(), 250u);
    budget.give(1000, 100);
    EXPECT_TRUE(budget.take(1001, 50));
}

// A time-out of zero is one try, as the upgrade app sends with 0.
TEST(platform_ipc_Framing, PastDeadlinesStillGetOneTry) {
    SocketPair pair;
    std::vector<uint8_t> frame{'h', 'i'}, got;
    auto past = std::chrono::steady_clock::now() - 1s;
    EXPECT_EQ(writeFrame(pair.a.get(), frame, past), FrameStatus::Ok);
    EXPECT_EQ(readFrame(pair.b.get(), got, 16, past), FrameStatus::Ok);
    EXPECT_EQ(got, frame);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readFrame(pair.b.get(), got, 16, past), FrameStatus::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);

    std::string name = uniqueName("zero");
    auto port = LocalMessagePort::create(
        name, [](LocalMessagePort&, int32_t, const Bytes& d) { return std::optional<Bytes>(d); });
    ASSERT_TRUE(port);
    std::thread serve([port] { port->run(); });
    MessageReply reply = sendMessage(name, 5, Bytes{'u', 'p'}, 0, 5);
    EXPECT_EQ(reply.status, MessageStatus::Success);
    EXPECT_EQ(reply.data, (Bytes{'u', 'p'}));
    port->invalidate();
    serve.join();
}

// More callers than a port serves at once wait their turn instead of being turned away.
TEST(platform_ipc_MessagePort, TwoHundredConcurrentCallersAllGetTheirAnswer) {
    std::string name = uniqueName("crowd");
    auto port = LocalMessagePort::create(name, [](LocalMessagePort&, int32_t id, const Bytes&) {
        std::this_thread::sleep_for(1ms);  // keeps callers in line
        return std::optional<Bytes>(Bytes{uint8_t(id)});
    });
    ASSERT_TRUE(port);
    std::thread serve([port] { port->run(); });
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 200; ++i) {
        callers.emplace_back([&, i] {
            MessageReply reply = sendMessage(name, i, {}, 30, 30);
            if (reply.status == MessageStatus::Success && reply.data == Bytes{uint8_t(i)}) ++answered;
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(answered.load(), 200);
    port->invalidate();
    serve.join();
}

// Idle persistent connections give their turn up to a caller waiting for one.
TEST(platform_ipc_ServeLoop, IdleConnectionsYieldTheirTurnToAWaitingCaller) {
    std::string name = uniqueName("idle");
    ServeLoop::Options options;
    options.maxClients = 2;
    options.rootReserve = 0;
    options.idleYield = 0.2;
    auto endpoint = ListeningEndpoint::open(ServiceKind::Connection, name, false);
    ASSERT_TRUE(endpoint);
    ServeLoop loop(
        std::move(endpoint), options,
        [](std::vector<uint8_t>& request, const PeerCredentials&) -> std::optional<ServeLoop::Reply> {
            return ServeLoop::Reply(std::move(request));
        });
    std::thread serve([&] { loop.run(); });
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 2; ++i) {
        idle.push_back(connectToService(ServiceKind::Connection, name, deadlineAfter(2)));
        ASSERT_TRUE(idle.back().valid());
        std::vector<uint8_t> ping{'p'}, pong;
        ASSERT_EQ(writeFrame(idle.back().get(), ping, deadlineAfter(2)), FrameStatus::Ok);
        ASSERT_EQ(readFrame(idle.back().get(), pong, 16, deadlineAfter(2)), FrameStatus::Ok);
    }
    UniqueFd late = connectToService(ServiceKind::Connection, name, deadlineAfter(2));
    ASSERT_TRUE(late.valid());
    std::vector<uint8_t> ping{'l'}, pong;
    ASSERT_EQ(writeFrame(late.get(), ping, deadlineAfter(2)), FrameStatus::Ok);
    EXPECT_EQ(readFrame(late.get(), pong, 16, deadlineAfter(5)), FrameStatus::Ok);
    EXPECT_EQ(pong, ping);
    int closed = 0;
    for (auto& fd : idle) {
        uint8_t b;
        closed += ::recv(fd.get(), &b, 1, MSG_DONTWAIT) == 0 ? 1 : 0;
    }
    EXPECT_EQ(closed, 1) << "exactly one idle connection gave its turn up";
    loop.stop();
    serve.join();
}

}  // namespace
}  // namespace ipc
