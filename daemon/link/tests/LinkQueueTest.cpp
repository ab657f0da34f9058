// The send queue and the write tick: one record per kind, sending only at a tick, and the 90 s
// stall rule, against the loopback stub server with a manual clock.
#include <gtest/gtest.h>

#include <set>

#include "LinkFixture.h"

using hollin::ZemSocketMessageModel;
using hollin::ZemSocketMessagePtr;

using namespace linktest;
using namespace std::chrono_literals;
using Model = ZemSocketMessageModel;

namespace {

class serverlink_link_Queue : public LinkFixture {};
class serverlink_link_Stall : public LinkFixture {};

// The stub holds every request this long before it fails it: long enough to stay "in flight".
Json holdEverything() {
    return Json{{"default", Json{{"delay", 6}, {"status", 500}}}};
}

}  // namespace

TEST_F(serverlink_link_Queue, SecondRecordOfAQueuedKindIsRefusedAndOtherKindsQueueBehind) {
    StubServer server(folder_, "server");
    configure({server.port()});
    auto link = connectLink();
    struct Step {
        uint64_t tag;
        bool refused;
    };
    const std::vector<Step> steps = {
        {Model::kHeartBeat, false}, {Model::kHeartBeat, true},      {Model::kPolicyId, false},
        {Model::kUpgrade, false},   {Model::kPolicyId, true},       {Model::kHeartBeatExt, false},
        {Model::kUpgrade, true},    {Model::kPolicyContent, false},
    };
    for (const Step& s : steps) EXPECT_EQ(link->sendMessage(record(s.tag)), s.refused) << "kind " << s.tag;
    std::vector<uint64_t> order;
    for (const auto& r : link->reqModels()) order.push_back(r->reqTag);
    EXPECT_EQ(order, (std::vector<uint64_t>{Model::kHeartBeat, Model::kPolicyId, Model::kUpgrade,
                                            Model::kHeartBeatExt, Model::kPolicyContent}));
}

TEST_F(serverlink_link_Queue, RecordGoesOutOnlyAtTheNextTickAndOnlyTheHead) {
    StubServer server(folder_, "server", holdEverything());
    configure({server.port()});
    auto link = connectLink();
    auto first = record(Model::kPolicyId);
    auto second = record(Model::kHeartBeat);
    link->sendMessage(first);
    link->sendMessage(second);
    // Every POST of a record is counted as it starts: nothing was posted by queueing.
    EXPECT_EQ(first->sendAttempt, 0u);

    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(1));
    // The head is in flight: further ticks send nothing, whatever waits behind it.
    link->handleSocketWrite();
    link->handleSocketWrite();
    EXPECT_EQ(first->sendAttempt, 1u);
    EXPECT_EQ(second->sendAttempt, 0u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"], "/yj/policy");
    EXPECT_EQ(requests[0]["body"], "body");
    EXPECT_EQ(headerOf(requests[0], "Connection"), "Keep-Alive");
    EXPECT_EQ(statusOf(link, first), Model::kInFlight);
    EXPECT_EQ(statusOf(link, second), Model::kWaiting);
}

TEST_F(serverlink_link_Stall, InFlightForNinetySecondsIsNotStalledButNinetyPointOneIs) {
    StubServer a(folder_, "a", holdEverything());
    StubServer b(folder_, "b", holdEverything());
    configure({a.port(), b.port()});
    walkAllServers();
    auto link = connectLink();
    ASSERT_EQ(link->port(), a.port());
    auto heartbeat = record(Model::kHeartBeat);
    link->sendMessage(heartbeat);
    link->handleSocketWrite();
    ASSERT_TRUE(a.waitForRequests(1));

    clock_.advance(90.0);
    link->handleSocketWrite();
    EXPECT_EQ(heartbeat->sendAttempt, 1u);
    EXPECT_EQ(statusOf(link, heartbeat), Model::kInFlight);
    EXPECT_EQ(link->port(), a.port());

    clock_.advance(0.1);
    link->handleSocketWrite();
    // Sent once more to the same server, now closing the connection; then the link moves on.
    ASSERT_TRUE(a.waitForRequests(2));
    const auto again = a.requests()[1];
    EXPECT_EQ(headerOf(again, "Connection"), "close");
    EXPECT_EQ(again["body"], "body");
    EXPECT_EQ(statusOf(link, heartbeat), Model::kStalled);
    EXPECT_EQ(link->port(), b.port());
    EXPECT_TRUE(b.requests().empty());

    // A stalled head goes out again at the next tick, to the new server.
    link->handleSocketWrite();
    ASSERT_TRUE(b.waitForRequests(1));
    EXPECT_EQ(statusOf(link, heartbeat), Model::kInFlight);
}

TEST_F(serverlink_link_Stall, StalledHeadSwapsWithTheTailAndTheMiddleStays) {
    StubServer server(folder_, "server", holdEverything());
    configure({server.port()});
    auto link = connectLink();
    auto a = record(Model::kHeartBeat);
    auto b = record(Model::kPolicyId);
    auto c = record(Model::kConfig);
    for (auto& r : {a, b, c}) link->sendMessage(r);
    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(1));

    clock_.advance(90.1);
    const double stalledAt = clock_.now();
    link->handleSocketWrite();
    EXPECT_EQ(link->reqModels(), (std::vector<ZemSocketMessagePtr>{c, b, a}));
    EXPECT_EQ(a->sendStatus, Model::kStalled);
    EXPECT_DOUBLE_EQ(a->startTimeInterval, stalledAt);
    EXPECT_EQ(c->sendStatus, Model::kWaiting);

    // The new head is what the next tick sends. The stalled head's "close" resend travels at the
    // same time, so the two may arrive in either order.
    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(3));
    std::multiset<std::string> paths;
    for (const auto& r : server.requests()) paths.insert(r["path"].get<std::string>());
    EXPECT_EQ(paths, (std::multiset<std::string>{"/yj/heartbeat", "/yj/heartbeat", "/yj/config"}));
}

// The stall rule measures on the monotonic clock: the system time set forward by an hour stalls
// nothing, set back it keeps nothing from stalling.
TEST_F(serverlink_link_Stall, StallRuleIgnoresChangesOfTheSystemTime) {
    StubServer server(folder_, "server", holdEverything());
    configure({server.port()});
    auto link = connectLink();
    auto heartbeat = record(Model::kHeartBeat);
    link->sendMessage(heartbeat);
    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(1));
    const double sentAt = heartbeat->startTimeInterval;

    clock_.set(clock_.now() + 3600);
    link->handleSocketWrite();
    EXPECT_EQ(heartbeat->sendAttempt, 1u);
    EXPECT_EQ(statusOf(link, heartbeat), Model::kInFlight);

    clock_.set(sentAt - 3600);
    clock_.advance(90.1);
    link->handleSocketWrite();
    EXPECT_EQ(heartbeat->sendAttempt, 2u);  // the closing send
    EXPECT_EQ(statusOf(link, heartbeat), Model::kStalled);
}
