#include "ZemClientFMDB.h"

#include "common/logger/DaemonLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>

#include "common/logger/RotatingLogger.h"
#include "framework/process/FileManager.h"
#include "platform/paths/FileModes.h"

using nlohmann::json;
using policydb::PolicyCondition;
using policydb::Statement;
using calix::FileManager;
using common::LogCoreHelper;

namespace hollin {

namespace {

struct Column {
    const char* name;
    bool integer;
};

// Table order; pkid comes first in the table and is never written by callers.
constexpr Column kPolicyColumns[] = {
    {"policy_moudle", false}, {"policy_id", true}, {"policy_version", true},
    {"md5", false},           {"runCycle", true},  {"max_timeout", true},
    {"run_state", true},      {"deadline", false}, {"content", false},
};
// The rows hold the policies' contents, under a key made of the row's own fields: the file is
// root's alone. The database file is made with that mode before SQLite opens it, since SQLite
// gives its -wal and -shm files the mode of the database; a file left wider by an earlier
// version is narrowed, with the log files beside it.
void restrictDatabaseFiles(const std::string& path) {
    const mode_t mode = paths::fileModeFor(std::filesystem::path(path).filename().string());
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string file = path + suffix;
        const int create = suffix[0] == '\0' ? O_CREAT : 0;
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | create, mode);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != mode) ::fchmod(fd, mode);
        ::close(fd);
    }
}

constexpr Column kStateColumns[] = {
    {"policyId", false},
    {"policyVersion", false},
    {"runState", false},
    {"lastTimeStamp", false},
};

constexpr const char* kUniqueIndex = "policy_id_unique";

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

template <size_t N>
std::string createTableSql(const char* table, const Column (&columns)[N]) {
    std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table + " (pkid  INTEGER PRIMARY KEY,";
    for (size_t i = 0; i < N; ++i) {
        sql += std::string(" ") + columns[i].name + (columns[i].integer ? " INTEGER" : " TEXT");
        sql += i + 1 < N ? "," : ")";
    }
    return sql;
}

void bindValue(Statement& s, int index, const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            s.bindNull(index);
            break;
        case json::value_t::boolean:
            s.bindInt(index, v.get<bool>() ? 1 : 0);
            break;
        case json::value_t::number_integer:
            s.bindInt(index, v.get<int64_t>());
            break;
        case json::value_t::number_unsigned: {
            uint64_t u = v.get<uint64_t>();
            if (u <= uint64_t(std::numeric_limits<int64_t>::max()))
                s.bindInt(index, int64_t(u));
            else
                s.bindDouble(index, double(u));
            break;
        }
        case json::value_t::number_float:
            s.bindDouble(index, v.get<double>());
            break;
        case json::value_t::string:
            s.bindText(index, v.get_ref<const std::string&>());
            break;
        default:
            s.bindText(index, v.dump(-1, ' ', false, json::error_handler_t::replace));
            break;
    }
}

// The row's keys that are columns, in table order.
template <size_t N>
std::vector<const Column*> presentColumns(const json& row, const Column (&columns)[N]) {
    std::vector<const Column*> out;
    if (!row.is_object()) return out;
    for (const Column& c : columns) {
        if (row.contains(c.name)) out.push_back(&c);
    }
    return out;
}

// "INSERT INTO table (a, b) VALUES (?, ?)" for the given columns, and their values bound in order.
std::string insertSql(const std::string& table, const std::vector<const Column*>& columns) {
    std::string sql = "INSERT INTO " + table + " (";
    std::string values;
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += std::string(i ? ", " : "") + columns[i]->name;
        values += i ? ", ?" : "?";
    }
    return sql + ") VALUES (" + values + ")";
}

// Reads the selected columns of each row: INTEGER columns as numbers (NULL as 0), TEXT columns as
// text (NULL left out).
std::optional<json> readRows(Statement& s, const std::vector<const Column*>& columns) {
    json rows = json::array();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        json row = json::object();
        for (size_t i = 0; i < columns.size(); ++i) {
            if (columns[i]->integer) {
                row[columns[i]->name] = s.int64(int(i));
            } else if (auto text = s.text(int(i))) {
                row[columns[i]->name] = std::move(*text);
            }
        }
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return std::nullopt;
    return rows;
}

std::string selectSql(const std::vector<const Column*>& columns, const char* table) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < columns.size(); ++i) sql += std::string(i ? ", " : "") + columns[i]->name;
    return sql + " FROM " + table;
}

const Column* policyColumn(const char* name) {
    for (const Column& c : kPolicyColumns) {
        if (std::string_view(c.name) == name) return &c;
    }
    return nullptr;
}

std::vector<const Column*> policyColumns(std::initializer_list<const char*> names) {
    std::vector<const Column*> out;
    for (const char* n : names) out.push_back(policyColumn(n));
    return out;
}

std::string timeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

}  // namespace

ZemClientFMDB& ZemClientFMDB::sharedInstance() {
    static ZemClientFMDB instance(fmdbPath() + "/RavAviza.sqlite");
    return instance;
}

std::string ZemClientFMDB::fmdbPath() {
    return FileManager::sharedInstance().createAppRootDirectory();
}

ZemClientFMDB::ZemClientFMDB(std::string path, Options options) : path_(std::move(path)), options_(options) {
    std::lock_guard lock(mutex_);
    openLocked();
}

bool ZemClientFMDB::openLocked() {
    if (db_.isOpen()) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string why;
        switch (tryOpenLocked(why)) {
            case OpenResult::Ok:
                return true;
            case OpenResult::Unusable:
                if (attempt == 0) {
                    log("[ZemClientFMDB] database unusable (" + why + "), starting a fresh one");
                    moveAsideLocked();
                    continue;
                }
                break;
            case OpenResult::Failed:
                break;
        }
        log("[ZemClientFMDB] " + why);
        break;
    }
    log("database can not open !");
    return false;
}

ZemClientFMDB::OpenResult ZemClientFMDB::tryOpenLocked(std::string& why) {
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    restrictDatabaseFiles(path_);

    auto unusable = [](int rc) {
        return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
    };
    auto fail = [&](int rc, const std::string& step) {
        why = step + ": " + (db_.isOpen() ? db_.lastError() : sqlite3_errstr(rc));
        db_.close();
        return unusable(rc) ? OpenResult::Unusable : OpenResult::Failed;
    };

    int rc = db_.open(path_);
    if (rc != SQLITE_OK) return fail(rc, "open");
    sqlite3_busy_timeout(db_.get(), options_.busyTimeoutMs);
    {
        Statement check(db_, "PRAGMA quick_check");
        if (!check.ok()) return fail(check.code(), "check");
        rc = check.step();
        if (rc != SQLITE_ROW) return fail(rc, "check");
        if (check.text(0).value_or("") != "ok") {
            why = "check: " + check.text(0).value_or("");
            db_.close();
            return OpenResult::Unusable;
        }
    }
    {
        Statement mode(db_, "PRAGMA journal_mode=WAL");
        if (!mode.ok()) return fail(mode.code(), "journal mode");
        rc = mode.step();
        if (rc != SQLITE_ROW) return fail(rc, "journal mode");
    }
    if ((rc = db_.exec("PRAGMA synchronous=FULL")) != SQLITE_OK) return fail(rc, "synchronous");
    if (!prepareSchemaLocked(rc)) return fail(rc, "schema");
    return OpenResult::Ok;
}

// Creates what is missing: the two tables and the unique key on policy_id. A file from before the
// key may hold several rows for one id; the newest of them (highest pkid) is kept. Nothing is written
// when the schema is complete, so opening never waits for another writer.
bool ZemClientFMDB::prepareSchemaLocked(int& rc) {
    auto exists = [&](const char* type, const char* name) -> std::optional<bool> {
        Statement s(db_, "SELECT count(*) FROM sqlite_master WHERE type = ? AND name = ?");
        s.bindText(1, type);
        s.bindText(2, name);
        rc = s.step();
        if (rc != SQLITE_ROW) return std::nullopt;
        return s.int64(0) > 0;
    };
    auto policy = exists("table", "policy");
    auto state = exists("table", "policyState");
    auto index = exists("index", kUniqueIndex);
    if (!policy || !state || !index) return false;
    if (*policy && *state && *index) return true;

    if ((rc = db_.exec("BEGIN IMMEDIATE")) != SQLITE_OK) return false;
    const std::string steps[] = {
        createTableSql("policy", kPolicyColumns),
        createTableSql("policyState", kStateColumns),
        "DELETE FROM policy WHERE policy_id IS NOT NULL AND pkid NOT IN "
        "(SELECT max(pkid) FROM policy WHERE policy_id IS NOT NULL GROUP BY policy_id)",
        std::string("CREATE UNIQUE INDEX IF NOT EXISTS ") + kUniqueIndex + " ON policy(policy_id)",
    };
    for (const auto& sql : steps) {
        if ((rc = db_.exec(sql.c_str())) != SQLITE_OK) {
            db_.exec("ROLLBACK");
            return false;
        }
    }
    if ((rc = db_.exec("COMMIT")) != SQLITE_OK) {
        db_.exec("ROLLBACK");
        return false;
    }
    return true;
}

void ZemClientFMDB::moveAsideLocked() {
    db_.close();
    std::string target = path_ + ".corrupt-" + timeStamp();
    for (int n = 1; std::filesystem::exists(std::filesystem::symlink_status(target)); ++n) {
        target = path_ + ".corrupt-" + timeStamp() + "-" + std::to_string(n);
    }
    if (std::rename(path_.c_str(), target.c_str()) != 0 && errno != ENOENT) {
        // Could not move it: remove it so that a fresh file can be made.
        std::remove(path_.c_str());
    }
    // The log and index files belong to the old file; a fresh database must not replay them.
    std::rename((path_ + "-wal").c_str(), (target + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
    std::remove((path_ + "-journal").c_str());
    log("[ZemClientFMDB] moved the old database to " + target);
}

void ZemClientFMDB::noteFailureLocked(int rc, const char* what) {
    log(std::string("[ZemClientFMDB] ") + what +
        " failed: " + (db_.isOpen() ? db_.lastError() : sqlite3_errstr(rc)));
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
        log("[ZemClientFMDB] database unusable, starting a fresh one");
        moveAsideLocked();
    }
}

void ZemClientFMDB::closeDB() {
    std::lock_guard lock(mutex_);
    db_.close();
}

bool ZemClientFMDB::insertPolicy(const json& row) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    auto columns = presentColumns(row, kPolicyColumns);
    if (columns.empty()) return false;
    Statement s(db_, insertSql("policy", columns));
    for (size_t i = 0; i < columns.size(); ++i) bindValue(s, int(i + 1), row[columns[i]->name]);
    if (!s.run()) {
        noteFailureLocked(s.code(), "insert into policy");
        return false;
    }
    return true;
}

bool ZemClientFMDB::updatePolicy(const json& values, const PolicyCondition& where) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    auto columns = presentColumns(values, kPolicyColumns);
    if (columns.empty()) return false;
    std::string sql = "UPDATE policy SET ";
    for (size_t i = 0; i < columns.size(); ++i) sql += std::string(i ? ", " : "") + columns[i]->name + " = ?";
    sql += where.sql();
    Statement s(db_, sql);
    int index = 1;
    for (const Column* c : columns) bindValue(s, index++, values[c->name]);
    where.bind(s, index);
    if (!s.run()) {
        noteFailureLocked(s.code(), "update of policy");
        return false;
    }
    return true;
}

bool ZemClientFMDB::upsertLocked(const json& row) {
    auto columns = presentColumns(row, kPolicyColumns);
    if (!row.is_object() || !row.contains("policy_id") || row["policy_id"].is_null()) return false;
    std::string updates;
    for (const Column* c : columns) {
        if (std::string_view(c->name) != "policy_id")
            updates += std::string(updates.empty() ? "" : ", ") + c->name + " = excluded." + c->name;
    }
    std::string sql = insertSql("policy", columns) + " ON CONFLICT(policy_id) DO ";
    sql += updates.empty() ? "NOTHING" : "UPDATE SET " + updates;
    Statement s(db_, sql);
    for (size_t i = 0; i < columns.size(); ++i) bindValue(s, int(i + 1), row[columns[i]->name]);
    if (!s.run()) {
        noteFailureLocked(s.code(), "upsert into policy");
        return false;
    }
    return true;
}

bool ZemClientFMDB::upsertPolicy(const json& row) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    return upsertLocked(row);
}

bool ZemClientFMDB::replacePolicies(const std::vector<json>& changedRows,
                                    const std::vector<int64_t>& withdrawnIds) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    int rc = db_.exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        noteFailureLocked(rc, "transaction start");
        return false;
    }
    bool ok = true;
    for (const json& row : changedRows) {
        if (!(ok = upsertLocked(row))) break;
        if (!db_.isOpen()) break;  // the file turned out corrupt and was moved aside
    }
    if (ok && db_.isOpen()) {
        Statement del(db_, "DELETE FROM policy WHERE policy_id = ?");
        for (int64_t id : withdrawnIds) {
            del.bindInt(1, id);
            if (!(ok = del.run())) {
                noteFailureLocked(del.code(), "delete from policy");
                break;
            }
            del.reset();
        }
    }
    if (!db_.isOpen()) return false;
    if (ok && (rc = db_.exec("COMMIT")) == SQLITE_OK) return true;
    if (ok) noteFailureLocked(rc, "commit");
    if (db_.isOpen()) db_.exec("ROLLBACK");
    return false;
}

std::optional<json> ZemClientFMDB::queryPolicy(int64_t policyId) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    auto columns = policyColumns({"policy_id", "policy_version"});
    Statement s(db_, selectSql(columns, "policy") + " WHERE policy_id = ? ORDER BY pkid");
    s.bindInt(1, policyId);
    auto rows = readRows(s, columns);
    if (!rows) noteFailureLocked(s.code(), "lookup in policy");
    return rows;
}

std::optional<std::vector<int64_t>> ZemClientFMDB::getAllPolicyIds() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    Statement s(db_, "SELECT policy_id FROM policy ORDER BY pkid");
    std::vector<int64_t> ids;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) ids.push_back(s.int64(0));
    if (rc != SQLITE_DONE) {
        noteFailureLocked(s.code(), "lookup in policy");
        return std::nullopt;
    }
    return ids;
}

std::optional<json> ZemClientFMDB::lookupPolicyWithWhere(const PolicyCondition& where) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    std::vector<const Column*> columns;
    for (const Column& c : kPolicyColumns) columns.push_back(&c);
    Statement s(db_, selectSql(columns, "policy") + where.sql() + " ORDER BY pkid");
    where.bind(s, 1);
    auto rows = readRows(s, columns);
    if (!rows) noteFailureLocked(s.code(), "lookup in policy");
    return rows;
}

std::optional<json> ZemClientFMDB::getAllPolicy() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    auto columns = policyColumns({"policy_id", "policy_version", "runCycle", "run_state", "deadline"});
    Statement s(db_, selectSql(columns, "policy") + " ORDER BY pkid");
    auto rows = readRows(s, columns);
    if (!rows) noteFailureLocked(s.code(), "lookup in policy");
    return rows;
}

bool ZemClientFMDB::deletePolicyWithId(int64_t policyId, int64_t version) {
    return deletePolicyWithWhere(PolicyCondition::policyIdAndVersion(policyId, version));
}

bool ZemClientFMDB::deletePolicyWithWhere(const PolicyCondition& where) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    Statement s(db_, "DELETE FROM policy" + where.sql());
    where.bind(s, 1);
    if (!s.run()) {
        noteFailureLocked(s.code(), "delete from policy");
        return false;
    }
    return true;
}

bool ZemClientFMDB::insertPolicyStateToDB(const json& state) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    auto columns = presentColumns(state, kStateColumns);
    if (columns.empty()) return false;
    Statement s(db_, insertSql("policyState", columns));
    for (size_t i = 0; i < columns.size(); ++i) bindValue(s, int(i + 1), state[columns[i]->name]);
    if (!s.run()) {
        noteFailureLocked(s.code(), "insert into policyState");
        return false;
    }
    return true;
}

int32_t ZemClientFMDB::getDBCount() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return 0;
    Statement s(db_, "SELECT count(*) as 'count' FROM policyState");
    if (s.step() != SQLITE_ROW) {
        noteFailureLocked(s.code(), "count of policyState");
        return 0;
    }
    return static_cast<int32_t>(s.int64(0));
}

std::optional<json> ZemClientFMDB::getAllPolicyState() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    std::vector<const Column*> columns;
    for (const Column& c : kStateColumns) columns.push_back(&c);
    Statement s(db_, selectSql(columns, "policyState") + " ORDER BY pkid");
    auto rows = readRows(s, columns);
    if (!rows) noteFailureLocked(s.code(), "lookup in policyState");
    return rows;
}

void ZemClientFMDB::deleteAllPolicyState() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return;
    Statement s(db_, "DELETE FROM policyState");
    if (!s.run()) noteFailureLocked(s.code(), "emptying policyState");
}

}  // namespace hollin
