#include "daemon/policy/PolicyCondition.h"

#include <gtest/gtest.h>

#include "PolicyTestSupport.h"
#include "daemon/policy/ZemClientFMDB.h"

using nlohmann::json;
using policydb::PolicyCondition;
using hollin::ZemClientFMDB;

namespace {

// Rows: id 1 (run_state 0, module 'it''s'), id 2 (run_state 1), id 3 (run_state 0, runCycle 1.5 stored as real).
class ConditionOnRows : public ::testing::Test {
  protected:
    void SetUp() override {
        auto row = [](int64_t id, int64_t state, json module, json cycle) {
            return json{{"policy_id", id}, {"policy_version", 1}, {"run_state", state}, {"policy_moudle", module},
                        {"runCycle", cycle}, {"deadline", ""}, {"md5", ""}, {"content", "x"}};
        };
        ASSERT_TRUE(db_.replacePolicies({row(1, 0, "it's", 600), row(2, 1, "net", 600), row(3, 0, "net", 1.5)}, {}));
    }
    // The ids the text selects, or "refused".
    std::string select(const std::string& text) {
        auto where = PolicyCondition::parse(text);
        if (!where) return "refused";
        auto rows = db_.lookupPolicyWithWhere(*where);
        if (!rows) return "failed";
        std::string ids;
        for (const auto& r : *rows) ids += (ids.empty() ? "" : ",") + std::to_string(r["policy_id"].get<int64_t>());
        return ids;
    }
    ZemClientFMDB db_{policytest::freshFolder() + "/RavAviza.sqlite"};
};

TEST_F(ConditionOnRows, AcceptedConditionsSelectTheRightRows) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "1,2,3"},
        {"  \n ", "1,2,3"},
        {"where run_state=0", "1,3"},
        {"WHERE Run_State = 1", "2"},
        {"where policy_id='2'", "2"},  // a quoted number compares as the number
        {"where policy_id = 1 or policy_id = 3", "1,3"},
        {"where run_state = 0 and policy_moudle = 'net'", "3"},
        {"where run_state = 0 and policy_moudle = 'net' or policy_id = 2", "2,3"},
        {"where policy_moudle = 'it''s'", "1"},
        {"where runCycle = 1.5", "3"},
        {"where policy_id = -9223372036854775808", ""},
        {"where policy_id = 99", ""},
    };
    for (const auto& [text, ids] : cases) EXPECT_EQ(select(text), ids) << text;
}

TEST_F(ConditionOnRows, AnythingOutsideTheGrammarIsRefused) {
    const char* cases[] = {
        "where 1=1; drop table policy",
        "where policy_id='1' or '1'='1'",
        "where policy_id = 1; delete from policy",
        "where policy_id = 1 --",
        "where policy_id = 1 /* */",
        "where policy_id > 1",
        "where policy_id != 1",
        "where policy_id = 1 order by pkid",
        "where policy_id = (select 1)",
        "where policy_id = x",
        "where policy_id = \"1\"",
        "where policy_id = 12abc",
        "where policy_id = 9223372036854775808",
        "where policy_id = 'unterminated",
        "where policy_id = 1 and",
        "where pkid = 1",
        "where sqlite_master = 1",
        "where",
        "run_state = 0",
        "where run_state = 0 where run_state = 0",
        "where policy_id = 1 or",
    };
    for (const char* text : cases) EXPECT_EQ(select(text), "refused") << text;
    EXPECT_EQ(select(std::string("where policy_id = 1\0 or 1", 25)), "refused");
    EXPECT_EQ(select("where policy_id = '" + std::string(PolicyCondition::kMaxTextBytes, 'a') + "'"), "refused");
    std::string many = "where policy_id = 0";
    for (size_t i = 0; i < PolicyCondition::kMaxEqualities; ++i) many += " or policy_id = 1";
    EXPECT_EQ(select(many), "refused");
    EXPECT_EQ(select("select 1"), "refused");
    EXPECT_EQ(db_.getAllPolicyIds(), (std::vector<int64_t>{1, 2, 3}));
}

}  // namespace
