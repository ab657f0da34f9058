// Exchanges with real loopback servers: failures move the link to the next server, usable
// replies record the last good server, unusable ones are dropped and roll the triggering command
// back, and a completion only ever changes its own record.
#include <gtest/gtest.h>

#include "LinkFixture.h"

using zem::ZemUrlEncode;
using common::ZemCMDManager;
using common::ZemCMDModel;
using hollin::ZemHttpReply;
using hollin::ZemHttpRequest;
using hollin::ZemHttpSession;
using hollin::ZemLinkContext;
using hollin::ZemSocketMessageModel;
using hollin::ZemSocketMessagePtr;
using hollin::ZemSocketReadManager;

using namespace linktest;
using namespace std::chrono_literals;
using Model = ZemSocketMessageModel;

namespace {

class serverlink_link_Rotation : public LinkFixture {};
class serverlink_link_Reply : public LinkFixture {};
class serverlink_link_Completion : public LinkFixture {};

// The heartbeat reply cut in the middle of its bytes, URL-encoded again.
std::string truncatedHeartbeatReply() {
    std::vector<uint8_t> bytes = ZemUrlEncode::urldecode(heartbeatReplyText({{5, 9}, {1, 3}}), nullptr);
    bytes.resize(bytes.size() / 2);
    return ZemUrlEncode::urlencodWithData(std::span<const uint8_t>(bytes));
}

std::string replyWithRetcode(int32_t retcode, bool withBody) {
    ZemV5Root root;
    root.mutable_msghead()->set_action(5001);
    root.mutable_msghead()->set_retcode(retcode);
    if (withBody) root.mutable_msgrspbody()->MutableExtension(ZemV5Root::policyIdgetMsgRspBody);
    std::string bytes;
    root.SerializeToString(&bytes);
    return ZemUrlEncode::urlencodWithData(std::string_view(bytes));
}

}  // namespace

// Whatever way the first server fails, the same request reaches the second one, and only the
// server that answered is recorded.
TEST_F(serverlink_link_Rotation, FailedServerPassesTheSameRequestToTheNextAndTheAnswererIsRecorded) {
    struct Case {
        const char* name;
        Json firstServer;  // null: nothing listens
    };
    const std::vector<Case> cases = {
        {"status 500", Json{{"default", answer(500, heartbeatReplyText())}}},
        {"status 404", Json{{"default", answer(404, "")}}},
        {"refused", nullptr},
        {"closed without answer", Json{{"default", Json{{"drop", true}}}}},
        {"body cut short", Json{{"default", Json{{"status", 200}, {"body", "abc"}, {"declared", 50}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        std::filesystem::remove(paths::lastServerRecordFile(), ec);
        freshConfig();

        std::unique_ptr<StubServer> first;
        if (!c.firstServer.is_null()) first = std::make_unique<StubServer>(folder_, "first", c.firstServer);
        StubServer second(folder_, "second", Json{{"default", answer(200, heartbeatReplyText())}});
        const int firstPort = first ? first->port() : closedPort();
        configure({firstPort, second.port()});
        walkAllServers();
        auto link = connectLink();
        ASSERT_EQ(link->port(), firstPort);

        auto heartbeat = record(Model::kHeartBeat, false, "the-request");
        link->sendMessage(heartbeat);
        link->handleSocketWrite();
        // The record goes back to waiting just before the link moves on: wait for both.
        ASSERT_TRUE(waitUntil(
            [&] { return statusOf(link, heartbeat) == Model::kWaiting && link->port() == second.port(); }));
        EXPECT_EQ(lastGoodServer()->record_server, "");

        link->handleSocketWrite();
        ASSERT_TRUE(second.waitForRequests(1));
        EXPECT_EQ(second.requests()[0]["body"], "the-request");
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
        auto stored = lastGoodServer();
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->record_server, "127.0.0.1");
        EXPECT_EQ(stored->record_port, static_cast<uint64_t>(second.port()));
        EXPECT_EQ(stored->networkType, 2);
        link->invalidate();
    }
    EXPECT_NE(logText().find("[ZemSocketManager]response data fail: heartbeat ,error=HTTP status 500"),
              std::string::npos);
}

TEST_F(serverlink_link_Reply, FailedPostOfACommandRequestStaysQueuedWithoutRollingBack) {
    storePolicyCommandAt8();
    StubServer server(folder_, "server", Json{{"default", answer(500, "")}});
    configure({server.port()});
    auto link = connectLink();
    auto policyId = record(Model::kPolicyId, true);
    link->sendMessage(policyId);
    link->handleSocketWrite();
    ASSERT_TRUE(waitUntil([&] { return statusOf(link, policyId) == Model::kWaiting; }));
    EXPECT_EQ(storedSeq(5), 8);
}

// Replies that cannot be used are dropped with their log line; the request is not sent again,
// and a request that a command triggered rolls that command back.
TEST_F(serverlink_link_Reply, UnusableReplyIsDroppedLoggedAndRollsTheCommandBack) {
    struct Case {
        const char* name;
        Json answer;
        const char* logLine;
    };
    const std::string prefix = "[ZemSocketReadManager]parse read data...\ntype: policyid | ";
    const std::vector<Case> cases = {
        {"empty", answer(200, ""), "urlencode data failed"},
        {"garbage", answer(200, "%%zz\x7f garbage \x01\x02 not a message %FF%FE"),
         "response parse failed. errCode: "},
        {"truncated", answer(200, truncatedHeartbeatReply()), "response parse failed. errCode: "},
        {"oversized", Json{{"status", 200}, {"fill", 5000}}, "urlencode data failed"},
        {"head without body", answer(200, replyWithRetcode(0, false)),
         "response parse finished. but data is null"},
        {"server error code", answer(200, replyWithRetcode(7, false)),
         "response parse failed. errCode: action: 5001 retcode: 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        commands_ = std::make_unique<ZemCMDManager>(folder_ + "/cmd-" + std::to_string(&c - cases.data()) +
                                                    ".archive");
        storePolicyCommandAt8();
        freshConfig();
        const size_t mark = logMark();
        StubServer server(folder_, "server-" + std::to_string(&c - cases.data()),
                          Json{{"default", c.answer}});
        configure({server.port()});
        ZemLinkContext ctx = context();
        ctx.maxReplyBytes = 1024;
        auto link = connectLink(ctx);

        auto policyId = record(Model::kPolicyId, true);
        link->sendMessage(policyId);
        link->handleSocketWrite();
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
        EXPECT_EQ(storedSeq(5), 7);
        EXPECT_NE(logSince(mark).find(prefix + c.logLine), std::string::npos);
        EXPECT_EQ(lastGoodServer()->record_server, "");

        // Dropped, not retried.
        link->handleSocketWrite();
        EXPECT_EQ(policyId->sendAttempt, 1u);
        EXPECT_EQ(server.requests().size(), 1u);
        link->invalidate();
    }
}

TEST_F(serverlink_link_Reply, OnlyCommandTriggeredRequestsOfRollbackKindsRollBack) {
    struct Case {
        uint64_t tag;
        bool isCmdSend;
        int64_t rolledType;  // 0: none
    };
    const std::vector<Case> cases = {
        {Model::kPolicyId, true, 5},  {Model::kUpgrade, true, 1},  {Model::kConfig, true, 4},
        {Model::kPolicyId, false, 0}, {Model::kUpgrade, false, 0}, {Model::kPolicyContent, true, 0},
        {Model::kHeartBeat, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        commands_ = std::make_unique<ZemCMDManager>(folder_ + "/cmd-" + std::to_string(&c - cases.data()) +
                                                    ".archive");
        for (int64_t type = 1; type <= 8; ++type) {
            for (int64_t seq : {7, 8}) {
                ZemCMDModel m;
                m.cmd_type = type;
                m.curr_seq = seq;
                commands_->updateMemoryCmdModel(m);
            }
        }
        ZemLinkContext ctx = context();
        auto reader = std::make_shared<ZemSocketReadManager>(ctx);
        auto r = record(c.tag, c.isCmdSend);
        r->readData = {};
        reader->parseReadData(r);
        for (int64_t type = 1; type <= 8; ++type)
            EXPECT_EQ(storedSeq(type), type == c.rolledType ? 7 : 8) << "type " << type;
    }
}

// A: sent, stalls, is sent once more and moves to the tail; B becomes the head and goes out.
// When A's POSTs fail afterwards, only A returns to waiting: B stays in flight and is not sent
// a second time.
TEST_F(serverlink_link_Completion, LateFailureOfAnotherRecordLeavesTheHeadInFlight) {
    StubServer server(
        folder_, "server",
        Json{{"entries",
              Json::array({Json{{"delay", 1.5}, {"status", 500}}, Json{{"delay", 1.5}, {"status", 500}},
                           Json{{"delay", 4}, {"status", 200}, {"body", policyIdReplyText()}}})},
             {"default", answer(500, "")}});
    configure({server.port()});
    auto link = connectLink();
    const size_t mark = logMark();
    auto a = record(Model::kHeartBeat, false, "A");
    auto b = record(Model::kPolicyId, false, "B");
    link->sendMessage(a);
    link->sendMessage(b);
    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(1));
    clock_.advance(91);
    link->handleSocketWrite();
    ASSERT_EQ(link->reqModels(), (std::vector<ZemSocketMessagePtr>{b, a}));
    ASSERT_TRUE(server.waitForRequests(2));
    link->handleSocketWrite();
    ASSERT_TRUE(server.waitForRequests(3));
    EXPECT_EQ(server.requests()[2]["body"], "B");

    // Both POSTs of A fail while B is in flight.
    ASSERT_TRUE(waitUntil([&] { return countSince(mark, "response data fail: heartbeat ,") == 2; }));
    EXPECT_EQ(statusOf(link, a), Model::kWaiting);
    EXPECT_EQ(statusOf(link, b), Model::kInFlight);
    link->handleSocketWrite();
    EXPECT_EQ(b->sendAttempt, 1u);
    EXPECT_EQ(server.requests().size(), 3u);

    // B's answer removes B, not the head of the moment.
    ASSERT_TRUE(waitUntil([&] { return link->reqModels() == std::vector<ZemSocketMessagePtr>{a}; }));
}

// A failed POST moves the link on before its record may go out again: however quickly the ticks
// follow the failure, the failed server sees the request once and the next one gets it.
TEST_F(serverlink_link_Completion, TickRightAfterAFailureSendsToTheNextServer) {
    StubServer failing(folder_, "failing", Json{{"default", answer(500, "")}});
    StubServer holding(folder_, "holding", Json{{"default", Json{{"delay", 30}, {"status", 500}}}});
    configure({failing.port(), holding.port()});
    walkAllServers();
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        freshConfig();
        auto link = connectLink();
        ASSERT_EQ(link->port(), failing.port());
        const size_t before = failing.requests().size();
        const size_t heldBefore = holding.requests().size();
        auto heartbeat = record(Model::kHeartBeat);
        link->sendMessage(heartbeat);
        link->handleSocketWrite();
        // Tick as fast as possible until the record went out a second time.
        ASSERT_TRUE(waitUntil(
            [&] {
                for (int i = 0; i < 1000 && heartbeat->sendAttempt < 2; ++i) link->handleSocketWrite();
                return heartbeat->sendAttempt >= 2;
            },
            10s));
        ASSERT_TRUE(holding.waitForRequests(heldBefore + 1));
        EXPECT_EQ(failing.requests().size(), before + 1);
        link->invalidate();
    }
}

// The read of a reply is pending from before its record leaves the queue: a test (or anyone)
// that sees the queue empty and then waits for the reads sees the roll-back done.
TEST_F(serverlink_link_Completion, RollBackIsDoneOnceTheQueueIsEmptyAndTheReadsAreWaitedFor) {
    StubServer server(folder_, "server", Json{{"default", answer(200, "")}});
    configure({server.port()});
    auto link = connectLink();
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        storePolicyCommandAt8();
        link->sendMessage(record(Model::kPolicyId, true));
        link->handleSocketWrite();
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
        ASSERT_EQ(storedSeq(5), 7);
    }
}

// The logged reply hides the user's ticket; the log line of a large reply stays short.
TEST_F(serverlink_link_Reply, LoggedReplyHidesTheTicketAndStaysShort) {
    RspMsgBody body;
    HeartbeatMsgRsp* rsp = body.MutableExtension(ZemV5Root::heartbeatMsgRspBody);
    rsp->set_userticket("TICKET-7f3a-SECRET");
    rsp->set_ticketstate(1);
    for (int i = 0; i < 60; ++i) rsp->add_reqitemsarray()->set_cmdtype(5);
    RspMsgBody update;
    update.MutableExtension(ZemV5Root::updateMsgRspBody)->set_updateurl(std::string(200'000, 'u'));
    StubServer server(folder_, "server",
                      Json{{"entries", Json::array({answer(200, replyText(1000, body)),
                                                    answer(200, replyText(2000, update))})}});
    configure({server.port()});
    auto link = connectLink();
    const size_t mark = logMark();
    for (uint64_t kind : {Model::kHeartBeat, Model::kUpgrade}) {
        link->sendMessage(record(kind));
        link->handleSocketWrite();
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
    }
    const std::string log = logSince(mark);
    EXPECT_EQ(log.find("TICKET-7f3a-SECRET"), std::string::npos);
    EXPECT_NE(log.find("userTicket: \"<redacted>\" ticketState: 1"), std::string::npos);
    EXPECT_NE(log.find("type: upgrade | parse reponse successfully. updateURL: \"uuu"), std::string::npos);
    EXPECT_NE(log.find(" more bytes]"), std::string::npos);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 8192u);
}

// Like a URL session, the link follows a redirect (a 307 keeps the POST and its body) and takes
// the proxy the environment names.
TEST_F(serverlink_link_Reply, RedirectIsFollowedAndTheEnvironmentsProxyIsUsed) {
    StubServer target(folder_, "target", Json{{"default", answer(200, heartbeatReplyText())}});
    const std::string moved = "http://127.0.0.1:" + std::to_string(target.port()) + "/moved";
    StubServer redirecting(folder_, "redirecting",
                           Json{{"default", Json{{"status", 307}, {"headers", Json{{"Location", moved}}}}}});
    configure({redirecting.port()});
    auto link = connectLink();
    link->sendMessage(record(Model::kHeartBeat, false, "redirected-body"));
    link->handleSocketWrite();
    ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
    ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
    ASSERT_EQ(target.requests().size(), 1u);
    EXPECT_EQ(target.requests()[0]["path"], "/moved");
    EXPECT_EQ(target.requests()[0]["body"], "redirected-body");
    EXPECT_EQ(lastGoodServer()->record_port, static_cast<uint64_t>(redirecting.port()));

    // The proxy gets the request with the server's full URL; the server itself is never reached.
    StubServer proxy(folder_, "proxy", Json{{"default", answer(200, heartbeatReplyText())}});
    const int unreachable = closedPort();
    ZemHttpSession session(dispatch::WorkQueue::create("proxy.test"));
    ZemHttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(unreachable) + "/yj/heartbeat";
    request.body = {'p'};
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
    const ZemHttpReply reply = session.postSync(request);
    ::unsetenv("http_proxy");
    EXPECT_TRUE(reply.succeeded()) << reply.error;
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0]["path"], request.url);
}
