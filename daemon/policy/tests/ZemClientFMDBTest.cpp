#include "daemon/policy/ZemClientFMDB.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "PolicyTestSupport.h"
#include "tests/support/TestFiles.h"

using nlohmann::json;
using policydb::PolicyCondition;
using hollin::ZemClientFMDB;

namespace {

namespace fs = std::filesystem;

json policyRow(int64_t id, int64_t version, int64_t runState = 0, const std::string& content = "c") {
    return {{"policy_id", id},     {"policy_version", version}, {"policy_moudle", "mod"},
            {"md5", ""},           {"runCycle", 600},           {"max_timeout", "300"},
            {"run_state", runState}, {"deadline", "2026-12-31 23:59:59"}, {"content", content}};
}

// Reads a single value with a separate connection, as another process would see the file.
std::string scalar(const std::string& path, const std::string& sql) {
    policydb::Connection c;
    if (c.open(path) != SQLITE_OK) return "<open failed>";
    policydb::Statement s(c, sql);
    if (s.step() != SQLITE_ROW) return "<no row>";
    return s.text(0).value_or("<null>");
}

std::vector<std::string> movedAside(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename();
        if (name.rfind("RavAviza.sqlite.corrupt-", 0) == 0 && name.find("-wal") == std::string::npos) {
            out.push_back(e.path());
        }
    }
    return out;
}

class PolicyDatabase : public ::testing::Test {
  protected:
    std::string dir_ = policytest::freshFolder();
    std::string path_ = dir_ + "/RavAviza.sqlite";
};

TEST_F(PolicyDatabase, FirstUseCreatesBothTablesWithTheirColumnsAndNoRows) {
    ZemClientFMDB db(path_);
    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>{});
    EXPECT_EQ(db.getDBCount(), 0);
    EXPECT_EQ(db.getAllPolicy(), json::array());
    EXPECT_EQ(db.getAllPolicyState(), json::array());

    auto columns = [&](const char* table) {
        policydb::Connection c;
        c.open(path_);
        policydb::Statement s(c, std::string("SELECT name, type FROM pragma_table_info('") + table + "') ORDER BY cid");
        std::string out;
        while (s.step() == SQLITE_ROW) out += *s.text(0) + " " + *s.text(1) + ",";
        return out;
    };
    EXPECT_EQ(columns("policy"),
              "pkid INTEGER,policy_moudle TEXT,policy_id INTEGER,policy_version INTEGER,md5 TEXT,runCycle INTEGER,"
              "max_timeout INTEGER,run_state INTEGER,deadline TEXT,content TEXT,");
    EXPECT_EQ(columns("policyState"), "pkid INTEGER,policyId TEXT,policyVersion TEXT,runState TEXT,lastTimeStamp TEXT,");
    EXPECT_EQ(scalar(path_, "PRAGMA journal_mode"), "wal");
}

TEST_F(PolicyDatabase, InsertStoresOnlyTableColumnsWithIntegerAffinity) {
    ZemClientFMDB db(path_);
    json row = policyRow(12, 3);
    row["policyState"] = "not a column";
    ASSERT_TRUE(db.insertPolicy(row));

    auto rows = db.lookupPolicyWithWhere(PolicyCondition::policyId(12));
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    json expected = policyRow(12, 3);
    expected["max_timeout"] = 300;  // "300" was stored as a number
    EXPECT_EQ((*rows)[0], expected);
    EXPECT_EQ(scalar(path_, "SELECT typeof(max_timeout) FROM policy"), "integer");
}

TEST_F(PolicyDatabase, IdsAndVersionsKeepAll64Bits) {
    ZemClientFMDB db(path_);
    // 2^53 + 1 is the first integer a double cannot hold; 2^62 + 7 does not fit 32 bits.
    const int64_t ids[] = {(int64_t(1) << 53) + 1, (int64_t(1) << 62) + 7, -5};
    for (int64_t id : ids) ASSERT_TRUE(db.upsertPolicy(policyRow(id, id - 1)));

    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>(std::begin(ids), std::end(ids)));
    for (int64_t id : ids) {
        auto found = db.queryPolicy(id);
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, json::array({{{"policy_id", id}, {"policy_version", id - 1}}}));
    }
    // A 32-bit truncation of 2^62 + 7 is 7: no such row.
    EXPECT_EQ(db.queryPolicy(7), json::array());
}

TEST_F(PolicyDatabase, ReadsGiveTheShapesCallersExpect) {
    ZemClientFMDB db(path_);
    ASSERT_TRUE(db.insertPolicy(policyRow(1, 1, 0, "secret-1")));
    ASSERT_TRUE(db.insertPolicy(policyRow(2, 1, 1, "secret-2")));
    ASSERT_TRUE(db.insertPolicy({{"policy_id", 3}, {"policy_version", 2}, {"run_state", 0}}));  // the rest stays NULL

    auto all = db.getAllPolicy();
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, json::parse(R"([
        {"policy_id":1,"policy_version":1,"runCycle":600,"run_state":0,"deadline":"2026-12-31 23:59:59"},
        {"policy_id":2,"policy_version":1,"runCycle":600,"run_state":1,"deadline":"2026-12-31 23:59:59"},
        {"policy_id":3,"policy_version":2,"runCycle":0,"run_state":0}])"));

    // Rows not yet started, with their content as stored; a NULL text column is left out.
    auto pending = db.lookupPolicyWithWhere(*PolicyCondition::parse("where run_state=0"));
    ASSERT_TRUE(pending);
    ASSERT_EQ(pending->size(), 2u);
    EXPECT_EQ((*pending)[0]["content"], "secret-1");
    EXPECT_EQ((*pending)[1], json::parse(R"({"policy_id":3,"policy_version":2,"runCycle":0,"max_timeout":0,"run_state":0})"));

    EXPECT_EQ(db.queryPolicy(99), json::array());
}

TEST_F(PolicyDatabase, UpdatesAndDeletesTouchOnlyTheRowsTheyName) {
    ZemClientFMDB db(path_);
    for (int64_t id = 1; id <= 4; ++id) ASSERT_TRUE(db.upsertPolicy(policyRow(id, 1)));

    ASSERT_TRUE(db.updatePolicy({{"run_state", 1}, {"unknown", 5}}, PolicyCondition::policyId(2)));
    EXPECT_TRUE(db.deletePolicyWithId(3, 2));  // wrong version: nothing goes
    EXPECT_TRUE(db.deletePolicyWithId(4, 1));
    EXPECT_TRUE(db.deletePolicyWithWhere(PolicyCondition::anyPolicyId({})));  // no ids: nothing goes
    EXPECT_EQ(db.getAllPolicyIds(), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ((*db.getAllPolicy())[1]["run_state"], 1);
    EXPECT_EQ((*db.getAllPolicy())[0]["run_state"], 0);

    EXPECT_TRUE(db.deletePolicyWithWhere(PolicyCondition::anyPolicyId({1, 3})));
    EXPECT_EQ(db.getAllPolicyIds(), (std::vector<int64_t>{2}));
}

TEST_F(PolicyDatabase, RunStatesAreCountedListedAndEmptiedWithoutTouchingPolicies) {
    ZemClientFMDB db(path_);
    ASSERT_TRUE(db.upsertPolicy(policyRow(1, 1)));
    ASSERT_TRUE(db.insertPolicyStateToDB(
        {{"policyId", "1"}, {"policyVersion", "1"}, {"runState", "2"}, {"lastTimeStamp", "2026-12-10 10:00:00"}, {"x", 1}}));
    ASSERT_TRUE(db.insertPolicyStateToDB({{"policyId", 7}, {"runState", "0"}}));  // numbers are kept as text
    EXPECT_FALSE(db.insertPolicyStateToDB({{"nothing", "known"}}));
    EXPECT_EQ(db.getDBCount(), 2);
    EXPECT_EQ(db.getAllPolicyState(), json::parse(R"([
        {"policyId":"1","policyVersion":"1","runState":"2","lastTimeStamp":"2026-12-10 10:00:00"},
        {"policyId":"7","runState":"0"}])"));

    db.deleteAllData();
    EXPECT_EQ(db.getDBCount(), 0);
    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>{1});
}

TEST_F(PolicyDatabase, UpsertReplacesTheRowOfItsIdAndPlainInsertRefusesASecond) {
    ZemClientFMDB db(path_);
    ASSERT_TRUE(db.upsertPolicy(policyRow(8, 1, 1, "old")));
    ASSERT_TRUE(db.upsertPolicy(policyRow(8, 2, 0, "new")));
    EXPECT_FALSE(db.insertPolicy(policyRow(8, 3, 0, "duplicate")));
    EXPECT_FALSE(db.upsertPolicy({{"policy_version", 1}}));  // no id to key on

    auto rows = db.lookupPolicyWithWhere(PolicyCondition());
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["policy_version"], 2);
    EXPECT_EQ((*rows)[0]["run_state"], 0);
    EXPECT_EQ((*rows)[0]["content"], "new");

    // Columns the upsert does not name keep their values.
    ASSERT_TRUE(db.upsertPolicy({{"policy_id", 8}, {"run_state", 1}}));
    EXPECT_EQ((*db.lookupPolicyWithWhere(PolicyCondition()))[0]["content"], "new");
}

TEST_F(PolicyDatabase, ConcurrentUpsertsFromThreadsAndConnectionsLeaveOneRowPerId) {
    ZemClientFMDB first(path_);
    ZemClientFMDB second(path_);  // a second connection to the same file, as another process has
    constexpr int kThreads = 6;
    constexpr int64_t kIds = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ZemClientFMDB& db = t % 2 ? second : first;
            for (int64_t id = 1; id <= kIds; ++id) db.upsertPolicy(policyRow(id, t));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(scalar(path_, "SELECT count(*) FROM policy"), std::to_string(kIds));
    EXPECT_EQ(scalar(path_, "SELECT count(DISTINCT policy_id) FROM policy"), std::to_string(kIds));
}

TEST_F(PolicyDatabase, ReplacementIsAllOrNothing) {
    ZemClientFMDB db(path_);
    ASSERT_TRUE(db.replacePolicies({policyRow(1, 1), policyRow(2, 1), policyRow(3, 1)}, {}));

    // The second row has no id: the whole replacement is rolled back.
    EXPECT_FALSE(db.replacePolicies({policyRow(1, 2), {{"policy_version", 9}}, policyRow(4, 1)}, {2}));
    EXPECT_EQ(db.getAllPolicyIds(), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ((*db.queryPolicy(1))[0]["policy_version"], 1);

    ASSERT_TRUE(db.replacePolicies({policyRow(1, 2), policyRow(4, 1)}, {2, 3}));
    EXPECT_EQ(db.getAllPolicyIds(), (std::vector<int64_t>{1, 4}));
    EXPECT_EQ((*db.queryPolicy(1))[0]["policy_version"], 2);
}

TEST_F(PolicyDatabase, AnExistingFileWithDuplicateIdsKeepsTheNewestRowPerId) {
    {
        policydb::Connection c;
        ASSERT_EQ(c.open(path_), SQLITE_OK);
        ASSERT_EQ(c.exec("CREATE TABLE policy (pkid  INTEGER PRIMARY KEY, policy_moudle TEXT, policy_id INTEGER,"
                         " policy_version INTEGER, md5 TEXT, runCycle INTEGER, max_timeout INTEGER, run_state INTEGER,"
                         " deadline TEXT, content TEXT);"
                         "INSERT INTO policy (policy_id, policy_version) VALUES (5, 1), (6, 1), (5, 2), (NULL, 1), (NULL, 2);"),
                  SQLITE_OK);
    }
    ZemClientFMDB db(path_);
    EXPECT_EQ(db.queryPolicy(5), json::array({{{"policy_id", 5}, {"policy_version", 2}}}));
    EXPECT_EQ(scalar(path_, "SELECT count(*) FROM policy"), "4");  // rows without an id are not merged
    EXPECT_FALSE(db.insertPolicy(policyRow(6, 3)));
    EXPECT_EQ(db.getDBCount(), 0);  // the missing table was added
}

struct BadFile {
    const char* name;
    void (*make)(const std::string& path);
    friend void PrintTo(const BadFile& f, std::ostream* os) { *os << f.name; }
};

void writeBytes(const std::string& path, const std::string& bytes, std::streamoff at = 0, bool truncate = true) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out | (truncate ? std::ios::trunc : std::ios::openmode{}));
    f.seekp(at);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

const BadFile kBadFiles[] = {
    {"TextFile", [](const std::string& p) { writeBytes(p, std::string(5000, 'x') + " this is not a database\n"); }},
    {"ForeignHeader",
     [](const std::string& p) { writeBytes(p, std::string("SQLite format 3\0", 16) + std::string(4080, '\xff')); }},
    {"DamagedPages",
     [](const std::string& p) {
         {
             ZemClientFMDB db(p);
             for (int64_t id = 1; id <= 300; ++id) db.upsertPolicy(policyRow(id, 1, 0, std::string(200, 'z')));
         }
         // Fold the log into the file, then overwrite the pages after the first.
         policydb::Connection c;
         c.open(p);
         c.exec("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
         c.close();
         writeBytes(p, std::string(16384, '\x5a'), 4096, false);
     }},
};

class BadDatabaseFile : public PolicyDatabase, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadDatabaseFile, IsMovedAsideAndAFreshDatabaseServes) {
    fs::create_directories(dir_);
    GetParam().make(path_);
    const std::string before = testsupport::readText(path_);

    ZemClientFMDB db(path_);
    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>{});
    EXPECT_TRUE(db.upsertPolicy(policyRow(1, 1)));
    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>{1});

    auto moved = movedAside(dir_);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_TRUE(testsupport::readText(moved[0]) == before) << "the moved file differs from the bad file";
}

INSTANTIATE_TEST_SUITE_P(Files, BadDatabaseFile, ::testing::ValuesIn(kBadFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PolicyDatabase, AnEmptyFileIsAValidEmptyDatabase) {
    writeBytes(path_, "");
    ZemClientFMDB db(path_);
    EXPECT_TRUE(db.upsertPolicy(policyRow(1, 1)));
    EXPECT_TRUE(movedAside(dir_).empty());
}

TEST_F(PolicyDatabase, AFileLockedBeyondTheBusyTimeoutIsReplaced) {
    policydb::Connection holder;
    ASSERT_EQ(holder.open(path_), SQLITE_OK);
    ASSERT_EQ(holder.exec("CREATE TABLE t (x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);"), SQLITE_OK);

    ZemClientFMDB::Options options;
    options.busyTimeoutMs = 100;
    ZemClientFMDB db(path_, options);
    EXPECT_TRUE(db.upsertPolicy(policyRow(1, 1)));
    EXPECT_EQ(db.getAllPolicyIds(), std::vector<int64_t>{1});
    EXPECT_EQ(movedAside(dir_).size(), 1u);
    holder.exec("ROLLBACK");
}

TEST_F(PolicyDatabase, AnUnopenableLocationGivesNothingInsteadOfCrashing) {
    writeBytes(dir_ + "/file", "x");
    ZemClientFMDB db(dir_ + "/file/RavAviza.sqlite");  // its folder is a file
    EXPECT_EQ(db.getAllPolicyIds(), std::nullopt);
    EXPECT_EQ(db.getAllPolicy(), std::nullopt);
    EXPECT_FALSE(db.upsertPolicy(policyRow(1, 1)));
    EXPECT_EQ(db.getDBCount(), 0);
}

// A writer process killed in the middle of a large replacement leaves the old rows or the new rows.
TEST_F(PolicyDatabase, AWriterKilledMidReplacementLeavesOldOrNewRows) {
    constexpr int kOld = 500;
    constexpr int kNew = 40000;
    auto seeded = policytest::runProcess(POLICY_DB_WRITER_PATH, {"seed", path_, std::to_string(kOld)});
    ASSERT_EQ(seeded.exitStatus, 0);

    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        std::string n = std::to_string(kNew);
        ::execl(POLICY_DB_WRITER_PATH, POLICY_DB_WRITER_PATH, "replace", path_.c_str(), n.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    // Kill once the uncommitted pages have begun to reach the log, or once it has committed.
    bool done = false;
    ASSERT_TRUE(policytest::waitFor(
        [&] {
            char c;
            if (::read(out[0], &c, 1) == 1) done = true;
            std::error_code ec;
            auto walSize = fs::file_size(path_ + "-wal", ec);
            return done || (!ec && walSize > 8u * 1024 * 1024);
        },
        120));
    ::kill(pid, SIGKILL);
    RecordProperty("outcome", done ? "committed before the kill" : "killed mid-transaction");
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);

    ZemClientFMDB db(path_);
    auto ids = db.getAllPolicyIds();
    ASSERT_TRUE(ids);
    const std::string versions = scalar(path_, "SELECT group_concat(DISTINCT policy_version) FROM policy");
    if (done) {
        EXPECT_EQ(ids->size(), size_t(kNew - 10));
        EXPECT_EQ(versions, "2");
    } else {
        EXPECT_EQ(ids->size(), size_t(kOld)) << "a killed replacement left part of its rows";
        EXPECT_EQ(versions, "1");
    }
    EXPECT_TRUE(movedAside(dir_).empty());
}

}  // namespace
