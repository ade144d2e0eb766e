// Owners for the SQLite handles a program keeps: the connection and its
// prepared statements close exactly once, on every path, and still read
// like the C API where they are used (get() hands the raw pointer down).
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string_view>

struct DbCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Resets a kept statement and clears its bindings when the scope ends, so
// that an early return or an error never leaves it half-stepped.
class StmtReset {
   public:
    explicit StmtReset(sqlite3_stmt* stmt) noexcept : stmt_(stmt) {}
    ~StmtReset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StmtReset(const StmtReset&) = delete;
    StmtReset& operator=(const StmtReset&) = delete;

   private:
    sqlite3_stmt* stmt_;
};

// The statement kept in stmt, prepared from sql on first use; nullptr when
// the preparation failed (sqlite3_errmsg tells why), and it is tried again
// on the next call.
inline sqlite3_stmt* kept_statement(sqlite3* db, Stmt& stmt, std::string_view sql) {
    if (stmt == nullptr) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(raw);
            return nullptr;
        }
        stmt.reset(raw);
    }
    return stmt.get();
}

// Binds a text for the life of the statement's current use (the caller's
// text outlives the step, and StmtReset clears the binding).
inline int bind_text(sqlite3_stmt* stmt, int index, std::string_view text) {
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC);
}
