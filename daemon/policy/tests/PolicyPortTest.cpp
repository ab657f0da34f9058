#include "daemon/policy/ZemSqliteIPCManager.h"

#include <gtest/gtest.h>

#include <thread>

#include "PolicyTestSupport.h"
#include "daemon/policy/ZemClientFMDB.h"

using nlohmann::json;
using policydb::PolicyCondition;
using hollin::ZemClientFMDB;
using hollin::ZemSqliteIPCManager;

namespace {

constexpr uid_t kNobody = 65534;
const int64_t kBigId = (int64_t(1) << 53) + 1;

// A seeded database served on a port of its own by a thread, as the daemon serves it.
class PolicyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        auto row = [](int64_t id, int64_t state) {
            return json{{"policy_id", id},   {"policy_version", 2}, {"run_state", state}, {"policy_moudle", "m"},
                        {"runCycle", 600},   {"max_timeout", 300},  {"deadline", "2026-12-31"},
                        {"md5", "abc"},      {"content", "ZW5jcnlwdGVk"}};
        };
        ASSERT_TRUE(db_.replacePolicies({row(12, 0), row(13, 1), row(kBigId, 0)}, {}));
        server_ = std::thread([this] { manager_.startMsgPort(); });
        ASSERT_TRUE(policytest::waitFor([this] { return ipc::canOpenPort(port_); }));
    }
    void TearDown() override {
        manager_.stopMsgPort();
        server_.join();
    }

    // Through the real socket from this process.
    std::optional<std::string> ask(int32_t msgid, const std::string& data = "") {
        auto reply = ipc::sendMessage(port_, msgid, {reinterpret_cast<const uint8_t*>(data.data()), data.size()}, 10, 30);
        EXPECT_EQ(reply.status, ipc::MessageStatus::Success);
        if (!reply.data) return std::nullopt;
        return std::string(reply.data->begin(), reply.data->end());
    }
    // From another process: the policy runner's stand-in.
    policytest::ProcessResult runner(std::vector<std::string> args, std::optional<uid_t> asUser = std::nullopt) {
        args.insert(args.begin(), {"--port", port_});
        return policytest::runProcess(MARLET_STAND_IN_PATH, args, asUser);
    }
    std::vector<int64_t> startedIds() {
        std::vector<int64_t> out;
        const auto rows = db_.lookupPolicyWithWhere(*PolicyCondition::parse("where run_state = 1"));
        if (rows) {
            for (const auto& r : *rows) out.push_back(r["policy_id"]);
        }
        return out;
    }

    ZemClientFMDB db_{policytest::freshFolder() + "/RavAviza.sqlite"};
    std::string port_ = policytest::uniqueName("ZEMClient_Sqlite_ZEMBiz");
    ZemSqliteIPCManager manager_{db_, port_};
    std::thread server_;
};

TEST_F(PolicyPort, TheRunnerReadsRowsAndRecordsStatesFromAnotherProcess) {
    auto rows = runner({"rows"});
    ASSERT_EQ(rows.exitStatus, 0);
    EXPECT_NE(rows.out.find("\n    {"), std::string::npos) << "replies are pretty-printed";
    EXPECT_EQ(json::parse(rows.out), json::parse(R"([
        {"policy_id":12,"policy_version":2,"runCycle":600,"run_state":0,"deadline":"2026-12-31"},
        {"policy_id":13,"policy_version":2,"runCycle":600,"run_state":1,"deadline":"2026-12-31"},
        {"policy_id":9007199254740993,"policy_version":2,"runCycle":600,"run_state":0,"deadline":"2026-12-31"}])"));

    auto pending = runner({"pending"});
    ASSERT_EQ(pending.exitStatus, 0);
    json pendingRows = json::parse(pending.out);
    ASSERT_EQ(pendingRows.size(), 2u);
    EXPECT_EQ(pendingRows[0], json::parse(R"({"policy_moudle":"m","policy_id":12,"policy_version":2,"md5":"abc",
        "runCycle":600,"max_timeout":300,"run_state":0,"deadline":"2026-12-31","content":"ZW5jcnlwdGVk"})"));
    EXPECT_EQ(pendingRows[1]["policy_id"].get<int64_t>(), kBigId);

    auto started = runner({"started", std::to_string(kBigId)});
    EXPECT_EQ(started.exitStatus, 0);
    EXPECT_EQ(started.out, "1");
    EXPECT_EQ(startedIds(), (std::vector<int64_t>{13, kBigId}));

    EXPECT_EQ(runner({"count"}).out, "0");
    EXPECT_EQ(runner({"states"}).exitStatus, 1);
    EXPECT_EQ(runner({"state", "12", "2", "1", "2026-12-10 15:00:00"}).out, "1");
    EXPECT_EQ(runner({"count"}).out, "1");
    EXPECT_EQ(json::parse(runner({"states"}).out), json::parse(R"([
        {"policyId":"12","policyVersion":"2","runState":"1","lastTimeStamp":"2026-12-10 15:00:00"}])"));
    EXPECT_EQ(runner({"clear"}).out, "1");
    EXPECT_EQ(runner({"states"}).exitStatus, 1);
    EXPECT_EQ(runner({"count"}).out, "0");
    EXPECT_EQ(db_.getAllPolicyIds()->size(), 3u);
}

TEST_F(PolicyPort, MessagesWithoutAnAnswerGetNoData) {
    const std::pair<int32_t, const char*> cases[] = {
        {99999, ""},      {100007, ""},      {99999, "where run_state=0"}, {-1, ""}, {100001, ""},
        {100002, ""},     {100006, ""},      {100005, ""},
        {100001, "where policy_id = 404"},
    };
    for (const auto& [msgid, data] : cases) EXPECT_EQ(ask(msgid, data), std::nullopt) << msgid << " " << data;
    EXPECT_EQ(runner({"send", "100007"}).exitStatus, 1);
    EXPECT_EQ(runner({"send", "99999", "x"}).exitStatus, 1);
}

TEST_F(PolicyPort, RequestsThatAreNotJsonObjectsAreAcknowledgedAndChangeNothing) {
    const std::pair<int32_t, const char*> cases[] = {
        {100002, "[1,2]"}, {100002, "not json"}, {100002, "\"text\""},
        {100006, "[12]"},  {100006, "12"},       {100006, "{\"policy\":12}"},
        {100006, "{\"policy_id\":null}"},        {100006, "{\"policy_id\":[12]}"},
    };
    for (const auto& [msgid, data] : cases) EXPECT_EQ(ask(msgid, data), "1") << msgid << " " << data;
    EXPECT_EQ(ask(100003), "0");
    EXPECT_EQ(startedIds(), std::vector<int64_t>{13});
}

TEST_F(PolicyPort, StartedAcceptsTheIdAsNumberOrText) {
    EXPECT_EQ(ask(100006, R"({"policy_id":12})"), "1");
    EXPECT_EQ(startedIds(), (std::vector<int64_t>{12, 13}));
    ASSERT_TRUE(db_.updatePolicy({{"run_state", 0}}, PolicyCondition::policyId(12)));
    EXPECT_EQ(ask(100006, R"({"policy_id":"12"})"), "1");
    EXPECT_EQ(startedIds(), (std::vector<int64_t>{12, 13}));
}

TEST_F(PolicyPort, InjectionAttemptsAreRefusedFromAnotherProcess) {
    const char* lookups[] = {
        "where 1=1; drop table policy",
        "where policy_id='1' or '1'='1'",
        "where run_state=0 union select 1,2,3,4,5,6,7,8,9 from sqlite_master",
    };
    for (const char* text : lookups) {
        auto r = runner({"send", "100001", text});
        EXPECT_EQ(r.exitStatus, 1) << text;
        EXPECT_EQ(r.out, "") << text;
    }
    auto r = runner({"send", "100006", R"({"policy_id":"1' or '1'='1"})"});
    EXPECT_EQ(r.out, "1");
    r = runner({"send", "100006", R"({"policy_id":"12' or policy_id != '0"})"});
    EXPECT_EQ(r.out, "1");

    EXPECT_EQ(startedIds(), std::vector<int64_t>{13});
    EXPECT_EQ(db_.getAllPolicyIds()->size(), 3u);
    // The port still serves a valid condition afterwards.
    EXPECT_EQ(json::parse(runner({"pending"}).out).size(), 2u);
}

TEST_F(PolicyPort, AnUnprivilegedPeerGetsNothingAndChangesNothing) {
    for (const auto& args : {std::vector<std::string>{"rows"}, {"started", "12"}, {"clear"},
                             {"state", "1", "1", "1", "x"}}) {
        auto r = runner(args, kNobody);
        EXPECT_EQ(r.exitStatus, 2) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_EQ(startedIds(), std::vector<int64_t>{13});
    EXPECT_EQ(db_.getDBCount(), 0);
    // Root is still served.
    EXPECT_EQ(runner({"started", "12"}).out, "1");
}

TEST_F(PolicyPort, AnEmptyTableGivesAnEmptyArray) {
    ASSERT_TRUE(db_.deletePolicyWithWhere(PolicyCondition()));
    EXPECT_EQ(ask(100000), "[]");
    EXPECT_EQ(ask(100001, "where run_state=0"), std::nullopt);
}

TEST_F(PolicyPort, ASecondPortOfTheSameNameIsNotCreated) {
    ZemSqliteIPCManager second(db_, port_);
    second.startMsgPort();  // returns at once: the name is held
    EXPECT_EQ(ask(100003), "0");
}

}  // namespace
