// Owners for the SQLite handles a program keeps: the connection and its
// prepared statements close exactly once, on every path, and still read
// like the C API where they are used (get() hands the raw pointer down).
#pragma once

#include <sqlite3.h>

#include <memory>

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
