// The policy database: the server's policies (table `policy`) and the policy runner's run states
// (table `policyState`) in RavAviza.sqlite in the product root folder.
//
// One connection per object, used under one lock, so statements never overlap and a transaction
// is never interleaved with another caller's statements. The file is kept in WAL mode with
// synchronous=FULL: a crash or power loss leaves the last committed state, never a torn file.
// A file that is corrupt, not a database or locked beyond the busy time-out is moved aside
// (RavAviza.sqlite.corrupt-<time>) and a fresh database takes its place.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "PolicyCondition.h"
#include "SqliteStatement.h"

namespace hollin {

class ZemClientFMDB {
  public:
    struct Options {
        int busyTimeoutMs = 5000;
    };

    // The process's database at <product root>/RavAviza.sqlite, created on first use.
    static ZemClientFMDB& sharedInstance();
    // The product root folder, made when missing.
    static std::string fmdbPath();

    // A database at the given file path (its folder is made when missing).
    explicit ZemClientFMDB(std::string path) : ZemClientFMDB(std::move(path), Options{}) {}
    ZemClientFMDB(std::string path, Options options);
    ZemClientFMDB(const ZemClientFMDB&) = delete;
    ZemClientFMDB& operator=(const ZemClientFMDB&) = delete;

    const std::string& path() const { return path_; }

    // Rows are JSON objects keyed by column name; keys that are not columns of the table are left
    // out. Integer values stay 64-bit. A text value given for an INTEGER column is stored as a number
    // when it reads as one.

    // A plain insert; false when it fails, also when a row with that policy_id exists already
    // (policy_id is unique). Reply handling uses upsertPolicy or replacePolicies instead.
    bool insertPolicy(const nlohmann::json& row);
    // Sets the given columns in the rows under the condition; false when nothing could be written.
    bool updatePolicy(const nlohmann::json& values, const policydb::PolicyCondition& where);
    // Inserts the row, or replaces the given columns of the row with its policy_id, in one
    // statement. False without a policy_id or when the statement fails.
    bool upsertPolicy(const nlohmann::json& row);
    // In one transaction: upsert every changed row and delete the rows of the withdrawn ids. Either
    // all of it is stored or none of it (false).
    bool replacePolicies(const std::vector<nlohmann::json>& changedRows, const std::vector<int64_t>& withdrawnIds);

    // [{"policy_id", "policy_version"}] of the id's row; empty when there is none.
    std::optional<nlohmann::json> queryPolicy(int64_t policyId);
    std::optional<std::vector<int64_t>> getAllPolicyIds();
    // Rows with all nine columns but pkid (content as stored).
    std::optional<nlohmann::json> lookupPolicyWithWhere(const policydb::PolicyCondition& where);
    // Rows with "policy_id", "policy_version", "runCycle", "run_state" and "deadline".
    std::optional<nlohmann::json> getAllPolicy();
    bool deletePolicyWithId(int64_t policyId, int64_t version);
    bool deletePolicyWithWhere(const policydb::PolicyCondition& where);

    // policyState rows carry "policyId", "policyVersion", "runState", "lastTimeStamp" (text).
    bool insertPolicyStateToDB(const nlohmann::json& state);
    int32_t getDBCount();  // 0 when the table cannot be read
    std::optional<nlohmann::json> getAllPolicyState();
    void deleteAllData() { deleteAllPolicyState(); }
    void deleteAllPolicyState();

    // Closes the connection; the next call opens it again.
    void closeDB();
    void createBackupDB() {}

  private:
    enum class OpenResult { Ok, Unusable, Failed };

    bool openLocked();
    OpenResult tryOpenLocked(std::string& why);
    bool prepareSchemaLocked(int& rc);
    void moveAsideLocked();
    // After a failed statement: a file found corrupt is replaced before the next call.
    void noteFailureLocked(int rc, const char* what);
    bool upsertLocked(const nlohmann::json& row);

    std::string path_;
    Options options_;
    std::mutex mutex_;
    policydb::Connection db_;
};

}  // namespace hollin
