// The reply dispatcher against a real policy database, a real command store and configuration
// store in a temporary root, and recording peers vended on real named connections.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/TestFiles.h"
#include "messaging/TesselClient.h"
#include "framework/cipher/AesString.h"
#include "common/command/ZemCMDManager.h"
#include "platform/ipc/NamedConnection.h"
#include "platform/paths/Paths.h"
#include "daemon/peers/ClientTesselManager.h"
#include "daemon/peers/ZemIPCManager.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "framework/process/ProcessInfoHelper.h"
#include "daemon/reply/ZemReplyDispatcher.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using calix::ProcessInfoHelper;
using tessel::TesselClient;
using common::ZemCMDManager;
using hollin::ClientTesselManager;
using hollin::ZemClientFMDB;
using hollin::ZemConfigManager;
using hollin::ZemIPCManager;
using hollin::ZemReplyDispatcher;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Call {
    std::string selector;
    archive::Array args;
};

// A peer that records every call it receives, vended under a real connection name.
class RecordingPeer {
  public:
    RecordingPeer(const std::string& name, std::vector<std::string> selectors) {
        ipc::VendedObject o;
        for (const auto& s : selectors) {
            o.add(s, [this, s](const archive::Array& args) -> std::optional<archive::Value> {
                {
                    std::lock_guard lock(mutex_);
                    calls_.push_back({s, args});
                }
                changed_.notify_all();
                if (s.rfind("responseLive", 0) == 0) return archive::Value("live");
                return std::nullopt;
            });
        }
        connection_ = ipc::NamedConnection::vend(name, std::move(o));
    }
    bool vended() const { return connection_ != nullptr; }
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool waitFor(size_t count, std::chrono::seconds limit = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return calls_.size() >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::shared_ptr<ipc::NamedConnection> connection_;
};

std::string textOf(const archive::Value& v) {
    const archive::Data* d = v.data();
    return d ? std::string(d->begin(), d->end()) : std::string();
}

class ReplyDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        commands_ = std::make_unique<ZemCMDManager>((root_ / "cmd.archive").string());
        commands_->initialCMD();
        db_ = std::make_unique<ZemClientFMDB>((root_ / "RavAviza.sqlite").string());
        config_ = std::make_unique<ZemConfigManager>((root_ / "config.archive").string());
        ZemIPCManager::Options o;
        o.lookupTimeout = 2.0;
        o.callTimeout = 5.0;
        o.sleep = [this](std::chrono::milliseconds d) {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(d);
        };
        o.startApp = [this](const std::string& path, const std::vector<std::string>& args) {
            std::lock_guard lock(mutex_);
            started_.push_back({path, args});
            if (onStart_) onStart_(path);
        };
        peers_ = std::make_unique<ZemIPCManager>(o);
        ZemReplyDispatcher::Environment env;
        env.commands = commands_.get();
        env.database = db_.get();
        env.config = config_.get();
        env.peers = peers_.get();
        env.now = [] { return 1'700'000'000.0; };
        env.consoleUser = [] { return std::string("tester"); };
        env.post = [this](const std::string& name, archive::Value object) {
            std::lock_guard lock(mutex_);
            posts_.emplace_back(name, std::move(object));
        };
        dispatcher_ = std::make_unique<ZemReplyDispatcher>(env);
    }
    void TearDown() override {
        dispatcher_->waitForPeers();
        dispatcher_.reset();
        commands_->waitForPendingChanges();
    }

    std::vector<std::pair<std::string, archive::Value>> posts() {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    int64_t storedSeq(int64_t type) {
        commands_->waitForPendingChanges();
        for (const auto& m : commands_->localCMDModels())
            if (m.cmd_type == type) return m.curr_seq;
        return -100;
    }
    static HeartbeatMsgRsp heartbeat(std::vector<std::tuple<int32_t, int64_t, int64_t>> cmds) {
        HeartbeatMsgRsp hb;
        for (auto [type, seq, deadline] : cmds) {
            auto* item = hb.add_reqitemsarray();
            item->set_cmdtype(type);
            item->set_cmdseq(seq);
            item->set_deadline(deadline);
        }
        return hb;
    }
    void storeRow(int64_t id, int64_t version) {
        ASSERT_TRUE(db_->upsertPolicy({{"policy_id", id}, {"policy_version", version}, {"policy_moudle", "m"},
                                       {"content", ""}, {"runCycle", 600}, {"deadline", ""}, {"md5", ""},
                                       {"run_state", 0}, {"max_timeout", "300"}}));
    }
    std::map<int64_t, int64_t> storedVersions() {
        std::map<int64_t, int64_t> out;
        for (int64_t id : db_->getAllPolicyIds().value_or(std::vector<int64_t>{})) {
            auto rows = db_->queryPolicy(id);
            if (rows && !rows->empty()) out[id] = (*rows)[0]["policy_version"].get<int64_t>();
        }
        return out;
    }

    testsupport::TempRoot tempRoot_{"reply-dispatch"};
    fs::path root_ = tempRoot_.path();
    std::unique_ptr<ZemCMDManager> commands_;
    std::unique_ptr<ZemClientFMDB> db_;
    std::unique_ptr<ZemConfigManager> config_;
    std::unique_ptr<ZemIPCManager> peers_;
    std::unique_ptr<ZemReplyDispatcher> dispatcher_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, archive::Value>> posts_;
    std::vector<std::chrono::milliseconds> sleeps_;
    std::vector<std::pair<std::string, std::vector<std::string>>> started_;
    std::function<void(const std::string&)> onStart_;
};

TEST_F(ReplyDispatch, EachCommandTypePostsItsNotificationOnceAndStoresItsSequence) {
    struct Case {
        int32_t type;
        const char* notification;  // nullptr: none
        bool stored;
    };
    const Case cases[] = {
        {1, "start_getupgrade_fromheart_notification", true},
        {2, nullptr, true},
        {3, nullptr, true},
        {4, "start_getconfig_fromheart_notification", true},
        {5, "start_getpolicy_fromheart_notification", true},
        {6, nullptr, false},
        {7, nullptr, false},
        {8, "start_getpolicy_fromheart_notification", true},
    };
    RecordingPeer bus(ZemIPCManager::kBusConnection, {"uploadDebugLog", "reportGetPolicyState:"});
    ASSERT_TRUE(bus.vended());
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        posts_.clear();
        const int64_t before = storedSeq(c.type);
        const HeartbeatMsgRsp hb = heartbeat({{c.type, before + 1, 0}});
        dispatcher_->handleMessage(hb);
        dispatcher_->handleMessage(hb);  // the same command again is not new
        auto seen = posts();
        if (c.notification) {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].first, c.notification);
        } else {
            EXPECT_TRUE(seen.empty());
        }
        EXPECT_EQ(storedSeq(c.type), c.stored ? before + 1 : before);
    }
    dispatcher_->waitForPeers();
    auto calls = bus.calls();
    ASSERT_EQ(calls.size(), 1u);  // the debug command, once
    EXPECT_EQ(calls[0].selector, "uploadDebugLog");
}

TEST_F(ReplyDispatch, DeadlinesDropOnlyExpiredCommands) {
    // The clock reads 1'700'000'000 s; the compared time is UTC+8 as the date helper gives it.
    dispatcher_->handleMessage(heartbeat({{5, 1, 1'600'000'000}}));  // expired
    EXPECT_TRUE(posts().empty());
    EXPECT_EQ(storedSeq(5), 0);
    dispatcher_->handleMessage(heartbeat({{5, 2, 0}}));              // never expires
    dispatcher_->handleMessage(heartbeat({{4, 3, 1'800'000'000}}));  // still ahead
    auto seen = posts();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(storedSeq(5), 2);
    EXPECT_EQ(storedSeq(4), 3);
}

TEST_F(ReplyDispatch, TheSameCommandFromConcurrentRepliesIsClaimedOnce) {
    const HeartbeatMsgRsp hb = heartbeat({{5, 7, 0}});
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { dispatcher_->handleMessage(hb); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(posts().size(), 1u);
    EXPECT_EQ(storedSeq(5), 7);
}

TEST_F(ReplyDispatch, PolicyListAsksForNewAndChangedIdsAndDeletesWithdrawnOnes) {
    RecordingPeer runner(ZemIPCManager::kPolicyRunConnection, {"executePolicy:", "responseLiveOfBiz"});
    ASSERT_TRUE(runner.vended());
    const int64_t big = int64_t{1} << 40;
    storeRow(1, 1);
    storeRow(2, 5);
    storeRow(3, 1);
    storeRow(10, 1);
    PolicyIDGetMsgRsp list;
    auto add = [&](int64_t id, int64_t version) {
        auto* item = list.add_rspitemsarray();
        item->set_id_p(id);
        item->set_version(version);
    };
    add(1, 1);    // unchanged
    add(2, 4);    // stored is newer: kept
    add(10, 2);   // changed
    add(big, 1);  // new, beyond 32 bits
    // 3 is withdrawn
    dispatcher_->handleMessage(list);
    auto seen = posts();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, "start_getpolicycontent_notification");
    std::vector<int64_t> asked;
    for (const auto& v : *seen[0].second.array()) asked.push_back(*v.integer());
    EXPECT_EQ(asked, (std::vector<int64_t>{10, big}));
    EXPECT_EQ(storedVersions(), (std::map<int64_t, int64_t>{{1, 1}, {2, 5}, {10, 1}}));
    dispatcher_->waitForPeers();
    EXPECT_TRUE(runner.calls().empty());  // new content follows; the runner hears of it then

    // The same list again for the stored ones: nothing to ask, nothing to tell.
    posts_.clear();
    PolicyIDGetMsgRsp same;
    for (auto [id, v] : std::vector<std::pair<int64_t, int64_t>>{{1, 1}, {2, 5}, {10, 1}}) {
        auto* item = same.add_rspitemsarray();
        item->set_id_p(id);
        item->set_version(v);
    }
    dispatcher_->handleMessage(same);
    dispatcher_->waitForPeers();
    EXPECT_TRUE(posts().empty());
    EXPECT_TRUE(runner.calls().empty());

    // Only withdrawn: the row goes and the runner re-reads the table (no data).
    same.mutable_rspitemsarray()->RemoveLast();
    dispatcher_->handleMessage(same);
    dispatcher_->waitForPeers();
    EXPECT_TRUE(posts().empty());
    EXPECT_EQ(storedVersions(), (std::map<int64_t, int64_t>{{1, 1}, {2, 5}}));
    auto calls = runner.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].selector, "executePolicy:");
    ASSERT_EQ(calls[0].args.size(), 1u);
    EXPECT_TRUE(calls[0].args[0].isNull());
}

TEST_F(ReplyDispatch, PolicyContentsAreStoredEncryptedAndReportedToRunnerAndReportService) {
    RecordingPeer runner(ZemIPCManager::kPolicyRunConnection, {"executePolicy:"});
    RecordingPeer bus(ZemIPCManager::kBusConnection, {"reportGetPolicyState:", "uploadDebugLog"});
    ASSERT_TRUE(runner.vended() && bus.vended());
    storeRow(7, 1);  // replaced by the new version
    PolicyContGetMsgRsp reply;
    auto add = [&](int64_t id, int64_t version, const std::string& content) {
        auto* item = reply.add_rspitemsarray();
        item->set_id_p(id);
        item->set_version(version);
        item->set_content(content);
    };
    const int64_t big = (int64_t{1} << 33) + 5;
    add(7, 2, R"({"module":"wifi","runcycle":30,"deadline":"2030-01-02 03:04:05","md5":"ab","content":{"k":[1,2]}})");
    add(big, 3, R"({"module":"usb","content":[{"x":"y"}]})");  // defaults
    // Fields the content lacks take the table's defaults; a "content" that is no container
    // stores the empty text. Only content that is not a JSON object is skipped.
    add(8, 1, R"({"module":"bare","content":"not a container"})");
    add(10, 4, R"({"deadline":5})");
    add(9, 1, "not json");
    add(11, 1, R"([{"module":"listed"}])");
    dispatcher_->handleMessage(reply);

    auto rows = db_->lookupPolicyWithWhere(policydb::PolicyCondition::anyPolicyId({7, big, 8, 9, 10, 11}));
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 4u);
    std::map<int64_t, nlohmann::json> byId;
    for (const auto& r : *rows) byId[r["policy_id"].get<int64_t>()] = r;
    const auto& a = byId.at(7);
    EXPECT_EQ(a["policy_version"], 2);
    EXPECT_EQ(a["policy_moudle"], "wifi");
    EXPECT_EQ(a["runCycle"], 30);
    EXPECT_EQ(a["md5"], "ab");
    auto clear = UrlEncode::aes256_decrypt(a["content"].get<std::string>(), "wifi20300102030405" "7" "2" "30");
    ASSERT_TRUE(clear);
    EXPECT_EQ(nlohmann::json::parse(*clear), nlohmann::json::parse(R"({"k":[1,2]})"));
    const auto& b = byId.at(big);
    EXPECT_EQ(b["runCycle"], 600);
    EXPECT_EQ(b["deadline"], "");
    EXPECT_EQ(b["md5"], "");
    clear = UrlEncode::aes256_decrypt(b["content"].get<std::string>(), "usb" + std::to_string(big) + "3600");
    ASSERT_TRUE(clear);
    EXPECT_EQ(nlohmann::json::parse(*clear), nlohmann::json::parse(R"([{"x":"y"}])"));
    EXPECT_EQ(byId.at(8)["policy_moudle"], "bare");
    EXPECT_EQ(byId.at(8)["content"], "");
    const auto& bare = byId.at(10);
    EXPECT_EQ(bare["policy_moudle"], "");
    EXPECT_EQ(bare["deadline"], "");
    EXPECT_EQ(bare["runCycle"], 600);
    EXPECT_EQ(bare["content"], "");

    ASSERT_TRUE(runner.waitFor(1));
    ASSERT_TRUE(bus.waitFor(1));
    dispatcher_->waitForPeers();
    auto run = runner.calls();
    ASSERT_EQ(run.size(), 1u);
    const std::string data = textOf(run[0].args.at(0));
    EXPECT_NE(data.find('\n'), std::string::npos);  // pretty-printed
    auto states = nlohmann::json::parse(data);
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[0]["policyId"], "7");
    EXPECT_EQ(states[1]["policyId"], std::to_string(big));
    EXPECT_EQ(states[1]["policyVersion"], "3");
    EXPECT_EQ(states[0]["runState"], 0);
    EXPECT_EQ(states[0]["lastTimeStamp"].get<std::string>().size(), 19u);
    auto report = bus.calls();
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].selector, "reportGetPolicyState:");
    const archive::Array* reported = report[0].args.at(0).array();
    ASSERT_TRUE(reported);
    ASSERT_EQ(reported->size(), 4u);
    EXPECT_EQ(*(*reported)[1].find("policyId")->string(), std::to_string(big));
}

TEST_F(ReplyDispatch, PolicyRowsThatCannotBeStoredRollThePolicyCommandBack) {
    RecordingPeer runner(ZemIPCManager::kPolicyRunConnection, {"executePolicy:"});
    ASSERT_TRUE(runner.vended());
    storeRow(1, 1);  // the table exists
    dispatcher_->handleMessage(heartbeat({{5, 7, 0}}));
    dispatcher_->handleMessage(heartbeat({{5, 8, 0}}));
    ASSERT_EQ(storedSeq(5), 8);

    // The database refuses every new row, as a full disk would.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((root_ / "RavAviza.sqlite").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TRIGGER refuse BEFORE INSERT ON policy "
                           "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    PolicyContGetMsgRsp reply;
    auto* item = reply.add_rspitemsarray();
    item->set_id_p(2);
    item->set_version(1);
    item->set_content(R"({"module":"wifi","content":{"k":1}})");
    dispatcher_->handleMessage(reply);
    dispatcher_->waitForPeers();

    EXPECT_EQ(storedSeq(5), 7) << "the next heartbeat brings the policy command again";
    EXPECT_EQ(storedVersions(), (std::map<int64_t, int64_t>{{1, 1}}));
    EXPECT_TRUE(runner.calls().empty());
    posts_.clear();
    dispatcher_->handleMessage(heartbeat({{5, 8, 0}}));
    ASSERT_EQ(posts().size(), 1u);
    EXPECT_EQ(posts()[0].first, "start_getpolicy_fromheart_notification");
}

TEST_F(ReplyDispatch, HostileRepliesAreHandledWithoutHarm) {
    HeartbeatMsgRsp many;
    for (int i = 0; i < 5000; ++i) {
        auto* item = many.add_reqitemsarray();
        item->set_cmdtype(i % 12 - 2);  // types out of range too
        item->set_cmdseq(i);
        item->set_deadline(i % 3 == 0 ? INT64_MAX : 0);
    }
    dispatcher_->handleMessage(many);
    PolicyContGetMsgRsp big;
    auto* item = big.add_rspitemsarray();
    item->set_id_p(INT64_MIN);
    item->set_version(INT64_MAX);
    item->set_content(R"({"module":"m","content":{"blob":")" + std::string(4u << 20, 'a') + "\"}}");
    dispatcher_->handleMessage(big);
    auto versions = storedVersions();
    ASSERT_EQ(versions.count(INT64_MIN), 1u);
    EXPECT_EQ(versions[INT64_MIN], INT64_MAX);
    // The daemon exits above 100 MiB resident; hostile replies must leave it well under that.
    if (testsupport::kMemoryFiguresMeaningful) {
        EXPECT_LT(ProcessInfoHelper::appMemoryUsage(), 100.0);
    }
}

TEST_F(ReplyDispatch, UpgradeOrdersReachTheUpgradeAppAsJson) {
    UpdateMsgRsp none;
    none.set_uptype(3);
    dispatcher_->handleMessage(none);
    dispatcher_->waitForPeers();
    EXPECT_TRUE(started_.empty());

    RecordingPeer upgrade(ZemIPCManager::kUpgradeConnection,
                          {"startUpgradeApp:", "startDownloadUpgradeAndNotInstall:", "startUpgradeByTipUser"});
    ASSERT_TRUE(upgrade.vended());
    UpdateMsgRsp order;
    order.set_uptype(1);
    order.set_updateurl("http://127.0.0.1/p.pkg");
    order.set_md5("abc");
    dispatcher_->handleMessage(order);
    ASSERT_TRUE(upgrade.waitFor(1));
    auto calls = upgrade.calls();
    EXPECT_EQ(calls[0].selector, "startUpgradeApp:");
    EXPECT_EQ(nlohmann::json::parse(textOf(calls[0].args.at(0))),
              nlohmann::json({{"type", 1}, {"url", "http://127.0.0.1/p.pkg"}, {"md5", "abc"}}));
    EXPECT_TRUE(started_.empty());  // it answered: nothing started

    peers_->upgradeIPC(std::nullopt, 5);
    peers_->upgradeIPC(std::string("{}"), 5);
    calls = upgrade.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].selector, "startUpgradeByTipUser");
    EXPECT_EQ(calls[2].selector, "startDownloadUpgradeAndNotInstall:");
}

TEST_F(ReplyDispatch, AMissingUpgradeAppIsCopiedStartedAndLookedForTwelveMoreTimes) {
    // The UI bundle's copy of the upgrade app; none in AppUpgrade yet.
    const fs::path source = fs::path(paths::uiAppResources()) / "Perrow.app/Contents/MacOS";
    fs::create_directories(source);
    std::ofstream(source / "Marlet") << "#!/bin/sh\n";
    peers_->upgradeIPC(std::string("{}"), 4);
    ASSERT_EQ(started_.size(), 1u);
    EXPECT_EQ(started_[0].first, paths::upgradeAppExecutable());
    EXPECT_EQ(started_[0].second, (std::vector<std::string>{"-upgrade"}));
    ASSERT_EQ(sleeps_.size(), 13u);  // 2 s, then twelve of 1 s
    EXPECT_EQ(sleeps_[0], 2000ms);
    EXPECT_EQ(sleeps_[12], 1000ms);

    // Copying again over the existing copy replaces it instead of nesting a second bundle in it.
    std::ofstream(source / "Marlet") << "#!/bin/sh\n# v2\n";
    ASSERT_TRUE(ZemIPCManager::installUpgradeCopy((fs::path(paths::uiAppResources()) / "Perrow.app").string()));
    const fs::path copy = fs::path(paths::appUpgradeFolder()) / "Perrow.app";
    EXPECT_FALSE(fs::exists(copy / "Perrow.app"));
    std::ifstream in(copy / "Contents/MacOS/Marlet");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(all.find("v2"), std::string::npos);

    // An app that comes up after its start is found and told.
    sleeps_.clear();
    started_.clear();
    std::unique_ptr<RecordingPeer> late;
    onStart_ = [&](const std::string&) {
        late = std::make_unique<RecordingPeer>(ZemIPCManager::kUpgradeConnection,
                                               std::vector<std::string>{"startUpgradeApp:"});
    };
    peers_->upgradeIPC(std::string(R"({"type":2})"), 2);
    ASSERT_TRUE(late && late->vended());
    EXPECT_EQ(late->calls().size(), 1u);
    EXPECT_EQ(sleeps_.size(), 1u);
}

TEST_F(ReplyDispatch, AHungPeerHoldsUpNeitherDispatchNorTheNextPeerCallForEver) {
    // A runner that takes calls and never answers until the test lets it go.
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    ipc::VendedObject o;
    o.add("executePolicy:", [&](const archive::Array&) -> std::optional<archive::Value> {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
        return std::nullopt;
    });
    auto hung = ipc::NamedConnection::vend(ZemIPCManager::kPolicyRunConnection, std::move(o));
    ASSERT_TRUE(hung);
    RecordingPeer bus(ZemIPCManager::kBusConnection, {"reportGetPolicyState:", "uploadDebugLog"});
    ZemIPCManager::Options quick;
    quick.lookupTimeout = 2.0;
    quick.callTimeout = 1.0;
    ZemIPCManager peers(quick);
    ZemReplyDispatcher::Environment env;
    env.commands = commands_.get();
    env.database = db_.get();
    env.peers = &peers;
    env.post = [this](const std::string& name, archive::Value object) {
        std::lock_guard lock(mutex_);
        posts_.emplace_back(name, std::move(object));
    };
    ZemReplyDispatcher dispatcher(env);

    PolicyContGetMsgRsp reply;
    auto* item = reply.add_rspitemsarray();
    item->set_id_p(1);
    item->set_version(1);
    item->set_content(R"({"module":"m","content":{}})");
    const auto start = std::chrono::steady_clock::now();
    dispatcher.handleMessage(reply);
    dispatcher.handleMessage(heartbeat({{3, 1, 0}}));  // a debug command right behind it
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // dispatch did not wait for the peer
    // The debug upload is asked for once the hung call has timed out.
    EXPECT_TRUE(bus.waitFor(2, 15s));
    dispatcher.waitForPeers();
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    auto calls = bus.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].selector, "uploadDebugLog");
}

TEST_F(ReplyDispatch, ConfigurationItemsReachTheStore) {
    ConfigGetMsgRsp reply;
    auto* item = reply.add_configitemsarray();
    item->set_type(ZemConfigManager::kHeartbeatType);
    item->set_value("45");
    dispatcher_->handleMessage(reply);
    EXPECT_EQ(config_->intervalOfType(ZemConfigManager::kHeartbeatType, 60), 45);
}

TEST_F(ReplyDispatch, ThePortAnswersTheLastGoodServerToItsOneMessage) {
    auto manager = ClientTesselManager::create([] { return std::string("http://127.0.0.1:8443"); });
    ASSERT_TRUE(manager->config());
    TesselClient client;
    client.setSendTimeout(5);
    client.setReceiveTimeout(5);
    uint64_t code = 0;
    auto answer = client.sendMessageWithName(ClientTesselManager::kListenKey, {}, 20001, &code);
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::string(answer->begin(), answer->end()), "http://127.0.0.1:8443");
    answer = client.sendMessageWithName(ClientTesselManager::kListenKey, {}, 20002, &code);
    EXPECT_TRUE(!answer || std::string(answer->begin(), answer->end()) == "0");
}

}  // namespace

// The policy runner's timed policies: a reachable runner's answer decides, an unreachable one
// counts as running; a restart reaches the runner, or loads its job (never unloads) and looks again.
TEST_F(ReplyDispatch, TimedPoliciesOfTheRunnerAreCheckedAndRestarted) {
    {
        std::atomic<int> restarts{0};
        ipc::VendedObject o;
        o.add("schemePolicyIsValide", [](const archive::Array&) -> std::optional<archive::Value> {
            return archive::Value(false);
        });
        o.add("restartTimerPolicy", [&restarts](const archive::Array&) -> std::optional<archive::Value> {
            ++restarts;
            return std::nullopt;
        });
        auto runner = ipc::NamedConnection::vend(ZemIPCManager::kPolicyRunConnection, std::move(o));
        ASSERT_TRUE(runner);
        EXPECT_FALSE(peers_->schemePolicyOnlive());
        peers_->restartSchemePolicy();
        EXPECT_EQ(restarts.load(), 1);
    }
    struct Case {
        bool jobFile;
        std::vector<std::string> launchctlArgs;  // empty: nothing started
    };
    for (const Case& c : {Case{false, {}}, Case{true, {"load"}}}) {
        SCOPED_TRACE(c.jobFile ? "job file present" : "job file missing");
        const fs::path job = fs::path(paths::launchDaemonsFolder()) / "com.velmora.Marlet.Daemon.plist";
        std::error_code ec;
        fs::remove(job, ec);
        if (c.jobFile) {
            fs::create_directories(job.parent_path());
            std::ofstream(job) << "<plist/>";
        }
        {
            std::lock_guard lock(mutex_);
            started_.clear();
            sleeps_.clear();
        }
        EXPECT_TRUE(peers_->schemePolicyOnlive());
        peers_->restartSchemePolicy();
        std::lock_guard lock(mutex_);
        if (c.launchctlArgs.empty()) {
            EXPECT_TRUE(started_.empty());
        } else {
            ASSERT_EQ(started_.size(), 1u);
            ASSERT_FALSE(started_[0].second.empty());
            EXPECT_EQ(started_[0].second[0], "load");
            EXPECT_EQ(started_[0].second.back(), job.string());
            ASSERT_EQ(sleeps_.size(), 1u);
            EXPECT_EQ(sleeps_[0], std::chrono::milliseconds(5000));
        }
    }
}

// A running copy of the upgrade app that does not answer is asked to end (TERM) before a new one
// starts; an upgrade the user asked for ends it at once (KILL). Other programs are left alone.
TEST_F(ReplyDispatch, RunningUpgradeAppsAreEndedBeforeANewStart) {
    const fs::path exe = paths::upgradeAppExecutable();
    fs::create_directories(exe.parent_path());
    fs::copy_file("/bin/sleep", exe);
    for (int32_t type : {4, -1}) {
        SCOPED_TRACE(type);
        const pid_t copy = ::fork();
        if (copy == 0) {
            ::execl(exe.c_str(), "Marlet", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const pid_t other = ::fork();
        if (other == 0) {
            ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(copy, 0);
        ASSERT_GT(other, 0);
        // Wait until the child runs the copy's program, not the test's.
        for (int i = 0; i < 500 && fs::read_symlink("/proc/" + std::to_string(copy) + "/exe") != exe; ++i)
            std::this_thread::sleep_for(10ms);
        peers_->upgradeIPC(std::nullopt, type);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 1000 && (ended = ::waitpid(copy, &status, WNOHANG)) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (ended == 0) {
            ::kill(copy, SIGKILL);
            ::waitpid(copy, &status, 0);
            ::kill(other, SIGKILL);
            ::waitpid(other, &status, 0);
            FAIL() << "the running copy was not ended";
        }
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), type == -1 ? SIGKILL : SIGTERM);
        EXPECT_EQ(::waitpid(other, &status, WNOHANG), 0);
        ::kill(other, SIGKILL);
        ::waitpid(other, &status, 0);
    }
}
