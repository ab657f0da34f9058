// The messaging library between two processes: the server runs in ipc_peer, the client here.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>

#include "PeerProcess.h"
#include "messaging/Tessel.h"
#include "platform/ipc/tests/TestRoot.h"

using tessel::TesselClient;
using tessel::TesselNoSuchPort;
using tessel::TesselPortBecameInvalid;
using tessel::TesselReceiveTimeout;
using tessel::TesselReplyReceived;
using tessel::TesselServer;

namespace {

using ipctest::PeerProcess;
using ipctest::uniqueName;
using namespace std::chrono_literals;

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

TEST(ipc_Tessel, RepliesFollowTheDelegateRules) {
    struct Case {
        std::string behaviour;
        double recvTimeout;
        uint64_t code;
        std::optional<std::vector<uint8_t>> reply;
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"blob", 30, TesselReplyReceived, bytes("ABCD"), 2000ms},
        {"empty", 30, TesselReplyReceived, std::nullopt, 2000ms},
        // The delegate takes 500 ms on its queue; the answer does not wait for it.
        {"queue", 30, TesselReplyReceived, bytes("0"), 400ms},
        {"released", 30, TesselReplyReceived, bytes("-1"), 2000ms},
        // The delegate takes 2 s; the client gives up after 300 ms.
        {"slow", 0.3, TesselReceiveTimeout, std::nullopt, 1200ms},
    };
    for (const Case& c : cases) {
        std::string name = uniqueName("tessel");
        PeerProcess peer({"tessel-serve", name, c.behaviour});
        ASSERT_TRUE(peer.expectLine("listening 1")) << c.behaviour;

        TesselClient client;
        client.setRecvTimeout(c.recvTimeout);
        uint64_t code = 0;
        auto start = std::chrono::steady_clock::now();
        auto reply = client.sendMessageWithName(name, bytes("hello"), 5, &code);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(code, c.code) << c.behaviour;
        EXPECT_EQ(reply, c.reply) << c.behaviour;
        EXPECT_LT(took, c.within) << c.behaviour;
        if (c.behaviour == "queue") {
            EXPECT_TRUE(peer.expectLine("delegate 5 hello", 5)) << "called later, on its queue";
        }
        if (c.behaviour == "slow") {
            EXPECT_GE(took, 290ms);
        }
    }
}

TEST(ipc_Tessel, UnknownNameGivesNoSuchPort) {
    TesselClient client;
    uint64_t code = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.sendMessageWithName(uniqueName("nobody"), bytes("x"), 1, &code));
    EXPECT_EQ(code, uint64_t(TesselNoSuchPort));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(client.startTestConnect(uniqueName("nobody")));
    // The code is written only when there is a place for it.
    EXPECT_FALSE(client.sendMessageWithName(uniqueName("nobody"), bytes("x"), 1, nullptr));
}

TEST(ipc_Tessel, ServerKilledDuringARequestGivesPortBecameInvalid) {
    std::string name = uniqueName("killed");
    PeerProcess peer({"tessel-serve", name, "hang"});
    ASSERT_TRUE(peer.expectLine("listening 1"));
    auto result = std::async(std::launch::async, [&] {
        TesselClient client;
        uint64_t code = 0;
        auto reply = client.sendMessageWithName(name, bytes("x"), 9, &code);
        return std::make_pair(code, reply);
    });
    ASSERT_TRUE(peer.expectLine("handling"));
    peer.kill(SIGKILL);
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    auto [code, reply] = result.get();
    EXPECT_EQ(code, uint64_t(TesselPortBecameInvalid));
    EXPECT_FALSE(reply);
}

TEST(ipc_Tessel, StopListenInOtherLetterCaseStopsThePort) {
    std::string name = uniqueName("Stop");
    PeerProcess peer({"tessel-serve", name, "blob"});
    ASSERT_TRUE(peer.expectLine("listening 1"));
    TesselClient client;
    EXPECT_TRUE(client.startTestConnect(name));
    EXPECT_TRUE(client.startTestConnect(upper(name))) << "port names ignore case";

    peer.writeLine("stop " + name + "-other");
    ASSERT_TRUE(peer.expectLine("stopped 1"));
    uint64_t code = 0;
    EXPECT_EQ(client.sendMessageWithName(name, {}, 1, &code), bytes("ABCD")) << "another name stops nothing";

    peer.writeLine("stop " + upper(name));
    ASSERT_TRUE(peer.expectLine("stopped 1"));
    EXPECT_FALSE(client.sendMessageWithName(name, {}, 1, &code));
    EXPECT_EQ(code, uint64_t(TesselNoSuchPort));
    EXPECT_FALSE(client.startTestConnect(name));
}

TEST(ipc_Tessel, NameHeldByAnotherProcessIsRefusedUntilThatProcessDies) {
    std::string name = uniqueName("held");
    PeerProcess peer({"tessel-serve", name, "blob"});
    ASSERT_TRUE(peer.expectLine("listening 1"));
    TesselServer server;
    EXPECT_FALSE(server.startListen(name));
    EXPECT_FALSE(server.startListen(upper(name)));

    // A killed holder leaves its socket file behind; the name is free again all the same.
    peer.kill(SIGKILL);
    ASSERT_TRUE(peer.wait(5));
    EXPECT_TRUE(server.startListen(name));
    uint64_t code = 0;
    TesselClient client;
    EXPECT_EQ(client.sendMessageWithName(name, {}, 1, &code), bytes("-1")) << "no delegate here";
    EXPECT_EQ(code, uint64_t(TesselReplyReceived));
}

}  // namespace
