#include "SqliteStatement.h"

namespace policydb {

int Connection::open(const std::string& path) {
    close();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) close();  // a failed open still hands back a handle to release
    return rc;
}

void Connection::close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

int Connection::exec(const char* sql) {
    return db_ ? sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) : SQLITE_MISUSE;
}

Statement::Statement(const Connection& connection, std::string_view sql) {
    if (!connection.isOpen()) {
        code_ = SQLITE_MISUSE;
        return;
    }
    code_ = sqlite3_prepare_v2(connection.get(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (code_ != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

int Statement::step() {
    if (!stmt_) return code_;
    if (code_ != SQLITE_OK) return code_;  // a failed bind must not run with a missing value
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) code_ = rc;
    return rc;
}

bool Statement::run() {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE;
}

std::optional<std::string> Statement::text(int column) const {
    const unsigned char* p = sqlite3_column_text(stmt_, column);
    if (!p) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

}  // namespace policydb
