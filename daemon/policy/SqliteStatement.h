// A thin owner of one SQLite connection and of prepared statements on it: handles are finalised
// and closed on every path, and values only ever reach SQL through bound parameters.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace policydb {

class Connection {
  public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens (or creates) the file; the result code of sqlite3_open_v2. A symlink at the path is refused.
    int open(const std::string& path);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    sqlite3* get() const { return db_; }

    // Runs statements without parameters (fixed text only).
    int exec(const char* sql);
    std::string lastError() const { return db_ ? sqlite3_errmsg(db_) : "no connection"; }

  private:
    sqlite3* db_ = nullptr;
};

class Statement {
  public:
    Statement(const Connection& connection, std::string_view sql);
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    // The result code of preparing, or of the last failed bind or step.
    int code() const { return code_; }

    // Parameters count from 1.
    void bindInt(int index, int64_t value) { check(sqlite3_bind_int64(stmt_, index, value)); }
    void bindDouble(int index, double value) { check(sqlite3_bind_double(stmt_, index, value)); }
    void bindText(int index, std::string_view value) {
        check(sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    void bindNull(int index) { check(sqlite3_bind_null(stmt_, index)); }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    // Runs to completion; true when the statement finished without error.
    bool run();
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    // Columns count from 0.
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    int64_t int64(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::optional<std::string> text(int column) const;

  private:
    void check(int rc) {
        if (rc != SQLITE_OK && code_ == SQLITE_OK) code_ = rc;
    }
    sqlite3_stmt* stmt_ = nullptr;
    int code_ = SQLITE_OK;
};

}  // namespace policydb
