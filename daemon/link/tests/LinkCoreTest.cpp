// The request core over real loopback servers: queueing by kind, the roll-back seen by the next
// heartbeat, 64-bit policy ids, the user's upgrade query, the missing configuration, the
// replacement of the link, the configuration watch and the network-type change.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "LinkFixture.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/NotificationCenter.h"
#include "daemon/link/ZemCore.h"

using common::ZemCMDManager;
using common::ZemCMDModel;
using common::ZemNetworkInfoModel;
using hollin::ZemCore;
using hollin::ZemLinkContext;
using hollin::ZemSocketManager;
using hollin::ZemSocketMessageModel;

using namespace linktest;
using namespace std::chrono_literals;
using Model = ZemSocketMessageModel;

namespace {

class serverlink_link_Core : public LinkFixture {
  protected:
    void TearDown() override {
        if (core_) {
            if (auto link = core_->socketManager()) link->readSocketManager().waitForPendingReads(10s);
            core_.reset();
        }
        LinkFixture::TearDown();
    }
    ZemCore& makeCore(ZemLinkContext c) {
        core_ = std::make_unique<ZemCore>(std::move(c));
        return *core_;
    }
    ZemCore& makeCore() { return makeCore(context()); }
    // Sends the head and waits until its reply has been handled.
    void exchange(const std::shared_ptr<ZemSocketManager>& link) {
        const size_t before = link->reqModels().size();
        link->handleSocketWrite();
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().size() < before; }));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(10s));
    }
    void storeEveryTypeAt8() {
        for (int64_t type = 1; type <= 8; ++type) {
            for (int64_t seq : {7, 8}) {
                ZemCMDModel m;
                m.cmd_type = type;
                m.curr_seq = seq;
                commands_->updateMemoryCmdModel(m);
            }
        }
        commands_->waitForPendingChanges();
    }

    std::unique_ptr<ZemCore> core_;
};

Json holdEverything() {
    return Json{{"default", Json{{"delay", 6}, {"status", 500}}}};
}

std::string updateReplyText() {
    RspMsgBody body;
    UpdateMsgRsp* rsp = body.MutableExtension(ZemV5Root::updateMsgRspBody);
    rsp->set_uptype(1);
    rsp->set_updateurl("http://upgrade.example/pkg.deb");
    rsp->set_md5("0123456789abcdef0123456789abcdef");
    return replyText(2000, body);
}

}  // namespace

TEST_F(serverlink_link_Core, HeartbeatAfterAFailedCommandReplyReportsTheOlderSequence) {
    storePolicyCommandAt8();
    StubServer server(
        folder_, "server",
        Json{{"entries", Json::array({answer(200, "")})}, {"default", answer(200, heartbeatReplyText())}});
    configure({server.port()});
    ZemCore& core = makeCore();
    core.sendGetCommPoliceIDs(true);
    auto link = core.socketManager();
    ASSERT_TRUE(link);
    exchange(link);
    EXPECT_EQ(storedSeq(5), 7);

    core.sendHeartBeat();
    exchange(link);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["path"], "/yj/policy");
    EXPECT_EQ(requests[1]["path"], "/yj/heartbeat");
    const ZemV5Root root = decodeRequest(requests[1]);
    EXPECT_EQ(root.msghead().action(), 1000);
    const HeartbeatMsgReq& heartbeat = root.reqmsgbody().GetExtension(ZemV5Root::heartbeatMsgReqBody);
    bool found = false;
    for (const CmdStatusReqItem& item : heartbeat.reqitemsarray()) {
        if (item.cmdtype() != 5) continue;
        found = true;
        EXPECT_EQ(item.lastseq(), 7);
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(lastGoodServer()->record_port, static_cast<uint64_t>(server.port()));
}

TEST_F(serverlink_link_Core, SecondAskOfAQueuedKindIsRefused) {
    StubServer server(folder_, "server");
    configure({server.port()});
    ZemCore& core = makeCore();
    EXPECT_FALSE(core.sendUpdateRequest(0));
    EXPECT_TRUE(core.sendUpdateRequest(1));
    core.sendHeartBeat();
    core.sendHeartBeat();
    core.sendGetConfig(false);
    core.sendGetConfig(true);
    std::vector<uint64_t> kinds;
    for (const auto& r : core.socketManager()->reqModels()) kinds.push_back(r->reqTag);
    EXPECT_EQ(kinds, (std::vector<uint64_t>{Model::kUpgrade, Model::kHeartBeat, Model::kConfig}));
    EXPECT_FALSE(core.socketManager()->reqModels()[0]->isCmdSend);
}

// Of the requests a failed reply could roll back, only those a command asked for do.
TEST_F(serverlink_link_Core, EmptyReplyRollsBackOnlyRequestsThatACommandAskedFor) {
    struct Case {
        const char* name;
        std::function<void(ZemCore&)> send;
        int64_t rolledType;  // 0: none
    };
    const std::vector<Case> cases = {
        {"upgrade from the timer", [](ZemCore& c) { c.sendUpdateRequest(0); }, 0},
        {"upgrade from a command", [](ZemCore& c) { c.sendUpdateRequest(1); }, 1},
        {"policy ids from the timer", [](ZemCore& c) { c.sendGetCommPoliceIDs(false); }, 0},
        {"policy ids from a command", [](ZemCore& c) { c.sendGetCommPoliceIDs(true); }, 5},
        {"configuration from a command", [](ZemCore& c) { c.sendGetConfig(true); }, 4},
        {"policy content",
         [](ZemCore& c) {
             c.sendGetPoliceContent({1, 2}, [] {});
         },
         0},
    };
    StubServer server(folder_, "server", Json{{"default", answer(200, "")}});
    configure({server.port()});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        commands_ = std::make_unique<ZemCMDManager>(folder_ + "/cmd-" + std::to_string(&c - cases.data()) +
                                                    ".archive");
        storeEveryTypeAt8();
        ZemCore& core = makeCore();
        c.send(core);
        exchange(core.socketManager());
        for (int64_t type = 1; type <= 8; ++type)
            EXPECT_EQ(storedSeq(type), type == c.rolledType ? 7 : 8) << "type " << type;
        core_.reset();
    }
}

TEST_F(serverlink_link_Core, WithoutAConfiguredServerNothingIsQueuedAndEachKindSaysSo) {
    ZemCore& core = makeCore();
    const size_t mark = logMark();
    core.sendHeartBeat();
    core.sendHeartBeatExt();
    core.sendUpdateRequest(0);
    core.sendGetCommPoliceIDs(true);
    core.sendGetPoliceContent({1}, [] {});
    core.sendGetConfig(true);
    bool called = false;
    std::optional<std::vector<uint8_t>> answer{std::vector<uint8_t>{1}};
    core.sendUpdateRequestByUserWithBlock([&](std::optional<std::vector<uint8_t>> a) {
        called = true;
        answer = std::move(a);
    });
    EXPECT_FALSE(core.socketManager());
    EXPECT_TRUE(called);
    EXPECT_FALSE(answer);
    const std::string log = logSince(mark);
    for (const char* kind :
         {"heartbeat", "heartbeatext", "upgrade1", "upgrade2", "policyid", "policycontent"})
        EXPECT_NE(log.find(std::string(" [") + kind + "]socket server config invalidate  \n"),
                  std::string::npos)
            << kind;
}

TEST_F(serverlink_link_Core, PolicyContentRequestCarriesTheFull64BitIds) {
    StubServer server(folder_, "server", Json{{"default", answer(200, "")}});
    configure({server.port()});
    ZemCore& core = makeCore();
    const std::vector<int64_t> ids = {(int64_t{1} << 40) + 5, INT64_MAX, -2, 7};
    core.sendGetPoliceContent(ids, [] {});
    exchange(core.socketManager());
    ASSERT_EQ(server.requests().size(), 1u);
    const ZemV5Root root = decodeRequest(server.requests()[0]);
    const auto& sent = root.reqmsgbody().GetExtension(ZemV5Root::policyContGetMsgReqBody).reqpolicyidarray();
    EXPECT_EQ(std::vector<int64_t>(sent.begin(), sent.end()), ids);
}

TEST_F(serverlink_link_Core, UserUpgradeQueryGoesStraightToItsEndpointAndAnswersJson) {
    struct Case {
        const char* name;
        Json answer;
        bool expectJson;
    };
    const std::vector<Case> cases = {
        {"upgrade reply", answer(200, updateReplyText()), true},
        {"server error", answer(500, updateReplyText()), false},
        {"other success status", answer(201, updateReplyText()), false},
        {"garbage", answer(200, "%00%01garbage"), false},
    };
    StubServer configured(folder_, "configured");
    configure({configured.port()});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StubServer endpoint(folder_, "endpoint-" + std::to_string(&c - cases.data()),
                            Json{{"default", c.answer}});
        ZemLinkContext ctx = context();
        ctx.upgradeQueryURL = "http://127.0.0.1:" + std::to_string(endpoint.port()) + "/";
        ZemCore& core = makeCore(ctx);
        const size_t mark = logMark();
        std::promise<std::optional<std::vector<uint8_t>>> result;
        core.sendUpdateRequestByUserWithBlock(
            [&](std::optional<std::vector<uint8_t>> json) { result.set_value(std::move(json)); });
        auto future = result.get_future();
        ASSERT_EQ(future.wait_for(20s), std::future_status::ready);
        const auto json = future.get();
        EXPECT_EQ(json.has_value(), c.expectJson);
        if (json) {
            const Json parsed = Json::parse(std::string(json->begin(), json->end()));
            EXPECT_EQ(parsed, (Json{{"type", 1},
                                    {"url", "http://upgrade.example/pkg.deb"},
                                    {"md5", "0123456789abcdef0123456789abcdef"}}));
        }
        // Not queued, and not sent to the configured server.
        EXPECT_TRUE(core.socketManager()->reqModels().empty());
        ASSERT_EQ(endpoint.requests().size(), 1u);
        const Json request = endpoint.requests()[0];
        EXPECT_EQ(request["path"], "/");
        EXPECT_EQ(headerOf(request, "X-Action"), "2000");
        EXPECT_EQ(headerOf(request, "Urlencode"), "1");
        EXPECT_EQ(headerOf(request, "Connection"), "close");
        EXPECT_EQ(headerOf(request, "Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
        EXPECT_EQ(headerOf(request, "Content-Length"),
                  std::to_string(request["body"].get<std::string>().size()));
        EXPECT_EQ(decodeRequest(request).msghead().action(), 2000);
        EXPECT_NE(logSince(mark).find("[ZemSocket] get zem upgrade state response by user: status " +
                                      std::to_string(c.answer["status"].get<int>()) + ", "),
                  std::string::npos);
        EXPECT_NE(logSince(mark).find(" bytes  error: "), std::string::npos);
        core_.reset();
    }
    EXPECT_TRUE(configured.requests().empty());
}

// The replaced link stops (its timer no longer sends) and its queued request goes out on the
// new link, to the server of the new configuration.
TEST_F(serverlink_link_Core, ReplacedLinkStopsAndItsRequestsMoveToTheNewLink) {
    StubServer oldServer(folder_, "old", holdEverything());
    StubServer newServer(folder_, "new", Json{{"default", answer(200, heartbeatReplyText())}});
    configure({oldServer.port()});
    ZemLinkContext ctx = context();
    ctx.startWriteTimer = true;
    ZemCore& core = makeCore(ctx);
    core.sendHeartBeat();
    ASSERT_TRUE(oldServer.waitForRequests(1));
    auto old = core.socketManager();

    configure({newServer.port()});
    core.reinitialConfig();
    auto replacement = core.socketManager();
    ASSERT_TRUE(replacement);
    EXPECT_NE(replacement, old);
    EXPECT_TRUE(old->isInvalidated());
    EXPECT_TRUE(old->reqModels().empty());
    EXPECT_EQ(replacement->port(), newServer.port());

    ASSERT_TRUE(newServer.waitForRequests(1, 8s));
    EXPECT_EQ(newServer.requests()[0]["body"], oldServer.requests()[0]["body"]);
    ASSERT_TRUE(
        waitUntil([&] { return lastGoodServer()->record_port == static_cast<uint64_t>(newServer.port()); }));

    // Something left on the old link never goes out: its ticks do nothing any more.
    auto left = record(Model::kConfig);
    old->sendMessage(left);
    old->handleSocketWrite();
    EXPECT_EQ(left->sendAttempt, 0u);
    EXPECT_EQ(oldServer.requests().size(), 1u);
}

// The file is read again before the link is replaced: sends racing with the change never leave
// a link built from the servers of the old file.
TEST_F(serverlink_link_Core, SendsDuringAConfigurationChangeEndOnTheNewServer) {
    StubServer oldServer(folder_, "old", holdEverything());
    StubServer newServer(folder_, "new", holdEverything());
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        configure({oldServer.port()});
        freshConfig();
        ZemCore& core = makeCore();
        ASSERT_EQ(core.socketManager()->port(), oldServer.port());
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            while (!stop.load()) core.sendHeartBeat();
        });
        configure({newServer.port()});
        core.reinitialConfig();
        stop.store(true);
        sender.join();
        EXPECT_EQ(core.socketManager()->port(), newServer.port());
        core_.reset();
    }
}

TEST_F(serverlink_link_Core, ChangeOfTheConfigurationFileRebuildsTheLinkAndOtherFilesDoNot) {
    StubServer first(folder_, "first");
    StubServer second(folder_, "second");
    configure({first.port()});
    ZemCore& core = makeCore();
    core.startListenConfigInfo();
    auto original = core.socketManager();
    ASSERT_TRUE(original);

    // Events come in order: the change of another file first, then the configuration's.
    const size_t mark = logMark();
    writeText(paths::machineSupportFolder() + "/other.file", "x");
    configure({second.port()});
    ASSERT_TRUE(waitUntil([&] { return core.socketManager() != original; }, 15s));
    EXPECT_EQ(core.socketManager()->port(), second.port());
    EXPECT_EQ(countSince(mark, "file monitor change callback: "), 1u);
    EXPECT_NE(logSince(mark).find("file monitor change callback: " + paths::serverConfigFile()),
              std::string::npos);
    core.stopListenConfigInfo();
}

TEST_F(serverlink_link_Core, NetworkTypeChangeClosesAndRestartsTheRoundRobinOfThatList) {
    StubServer intranet(folder_, "intranet", holdEverything());
    StubServer extranet(folder_, "extranet", holdEverything());
    configure({intranet.port(), extranet.port()});
    ZemCore& core = makeCore();
    auto link = core.socketManager();
    ASSERT_EQ(link->port(), intranet.port());
    core.sendHeartBeat();
    link->handleSocketWrite();
    ASSERT_TRUE(intranet.waitForRequests(1));

    std::thread mainLoop([] { dispatch::MainLoop::shared().run(); });
    ZemNetworkInfoModel record = *ZemNetworkInfoModel::currentNetRecord();
    record.networkType = 1;
    ASSERT_TRUE(record.saveModelRecord());
    const size_t mark = logMark();
    dispatch::NotificationCenter::defaultCenter().post(ZemSocketManager::kNetworkTypeNotification,
                                                       int64_t{1});

    ASSERT_TRUE(intranet.waitForRequests(2));
    EXPECT_EQ(headerOf(intranet.requests()[1], "Connection"), "close");
    ASSERT_TRUE(waitUntil([&] { return link->port() == extranet.port(); }));
    EXPECT_EQ(link->reqModels().front()->sendStatus, Model::kWaiting);
    EXPECT_NE(logSince(mark).find("[ZemSocketManager] resetNETWorkType Change netType:1"), std::string::npos);
    dispatch::MainLoop::shared().stop();
    mainLoop.join();
}
