#include "binding_store.h"

#include "diag.h"

namespace {

// The first three columns are what the tracker decides on; the last three
// let the daemon keep the row in memory.
constexpr char kCurrentSql[] =
    "SELECT rowid,(unixepoch() - utime),hwaddr,sec,usec,utime FROM ipmap\nWHERE rowid = (\n"
    "SELECT rowid\nFROM ipmap\nWHERE iptype == ? AND ipaddr == ?\nORDER BY sec DESC,usec "
    "DESC\nLIMIT 1)";
constexpr char kInsertSql[] = "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)";
constexpr char kTouchSql[] = "UPDATE ipmap SET utime = ? WHERE rowid = ?";
constexpr char kExpireSql[] = "DELETE FROM ipmap WHERE utime <= ?";
constexpr char kBeginSql[] = "BEGIN IMMEDIATE";
constexpr char kCommitSql[] = "COMMIT";
constexpr char kRollbackSql[] = "ROLLBACK";

// Prepares on first use and keeps the statement; a failed preparation is
// tried again on the next call.
sqlite3_stmt* kept(sqlite3* db, Stmt& stmt, const char* sql, int size) {
    if (stmt == nullptr) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql, size, &raw, nullptr) != SQLITE_OK) {
            sqlite3_finalize(raw);
            return nullptr;
        }
        stmt.reset(raw);
    }
    return stmt.get();
}

}  // namespace

bool BindingStatements::insert(int iptype, const char* ipaddr, const char* hwaddr, std::int64_t sec,
                               std::int64_t usec, bool warn) {
    sqlite3_stmt* stmt = kept(db_, insert_, kInsertSql, sizeof kInsertSql);
    if (stmt == nullptr) {
        if (warn) diag_warn("ipmap insert entry failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    const StmtReset reset(stmt);
    // The first sighting's seconds are also its first utime.
    if (sqlite3_bind_int(stmt, 1, iptype) != SQLITE_OK ||
        sqlite3_bind_text(stmt, 2, ipaddr, -1, SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_bind_text(stmt, 3, hwaddr, -1, SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_bind_int64(stmt, 4, sec) != SQLITE_OK ||
        sqlite3_bind_int64(stmt, 5, usec) != SQLITE_OK ||
        sqlite3_bind_int64(stmt, 6, sec) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        if (warn) diag_warn("ipmap insert entry failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

bool BindingStatements::touch(std::int64_t rowid, std::int64_t utime, bool warn) {
    sqlite3_stmt* stmt = kept(db_, touch_, kTouchSql, sizeof kTouchSql);
    if (stmt == nullptr) {
        if (warn) diag_warn("ipmap update failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    const StmtReset reset(stmt);
    if (sqlite3_bind_int64(stmt, 1, utime) != SQLITE_OK ||
        sqlite3_bind_int64(stmt, 2, rowid) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        if (warn) diag_warn("ipmap update failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

bool BindingStatements::expire(std::int64_t cutoff) {
    sqlite3_stmt* stmt = kept(db_, expire_, kExpireSql, sizeof kExpireSql);
    if (stmt == nullptr) {
        diag_warn("ipmap delete old records failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    const StmtReset reset(stmt);
    if (sqlite3_bind_int64(stmt, 1, cutoff) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        diag_warn("ipmap delete old records failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

namespace {

bool run_once(sqlite3* db, Stmt& stmt, const char* sql, int size) {
    sqlite3_stmt* raw = kept(db, stmt, sql, size);
    if (raw == nullptr) return false;
    const StmtReset reset(raw);
    return sqlite3_step(raw) == SQLITE_DONE;
}

}  // namespace

bool BindingStatements::begin() { return run_once(db_, begin_, kBeginSql, sizeof kBeginSql); }

bool BindingStatements::commit() { return run_once(db_, commit_, kCommitSql, sizeof kCommitSql); }

void BindingStatements::rollback() { run_once(db_, rollback_, kRollbackSql, sizeof kRollbackSql); }

bool BindingStatements::current(int iptype, const char* ipaddr, CurrentBinding* current) {
    current->found = 0;
    sqlite3_stmt* stmt = kept(db_, current_, kCurrentSql, sizeof kCurrentSql);
    if (stmt == nullptr) {
        diag_warn("imap get current prepare failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    const StmtReset reset(stmt);
    if (sqlite3_bind_int(stmt, 1, iptype) != SQLITE_OK) {
        diag_warn("get imap current bind iptype failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    // SQLITE_STATIC: the caller's text outlives the call, and the binding is
    // cleared before returning, so no copy is needed.
    if (sqlite3_bind_text(stmt, 2, ipaddr, -1, SQLITE_STATIC) != SQLITE_OK) {
        diag_warn("get imap current bind ipaddr failed: %s\n", sqlite3_errmsg(db_));
        return false;
    }
    // A failed step is not reported: it looks like an address without a row.
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE;
    current->rowid = sqlite3_column_int64(stmt, 0);
    current->age = sqlite3_column_int64(stmt, 1);
    const unsigned char* text = sqlite3_column_text(stmt, 2);
    copy_bounded(current->hwaddr, text != nullptr ? reinterpret_cast<const char*>(text) : "",
                 sizeof current->hwaddr);
    current->sec = sqlite3_column_int64(stmt, 3);
    current->usec = sqlite3_column_int64(stmt, 4);
    current->utime = sqlite3_column_int64(stmt, 5);
    current->found = 1;
    return true;
}
