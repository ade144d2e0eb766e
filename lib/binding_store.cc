#include "binding_store.h"

#include <cinttypes>
#include <cstdio>

#include "diag.h"

namespace {

constexpr char kCurrentSql[] =
    "SELECT rowid,(unixepoch() - utime),hwaddr FROM ipmap\nWHERE rowid = (\nSELECT rowid\nFROM "
    "ipmap\nWHERE iptype == ? AND ipaddr == ?\nORDER BY sec DESC,usec DESC\nLIMIT 1)";
static_assert(sizeof kCurrentSql == 164);

// Per-frame path: prepared once and kept until the process ends.
sqlite3_stmt* current_stmt = nullptr;

}  // namespace

void binding_insert(sqlite3* db, int iptype, const char* ipaddr, const char* hwaddr,
                    std::int64_t sec, std::int64_t usec) {
    char sql[1024];
    std::snprintf(sql, sizeof sql,
                  "INSERT INTO ipmap VALUES (%d, '%s', '%s', %" PRId64 ", %" PRId64 ", %" PRId64 ")",
                  iptype, ipaddr, hwaddr, sec, usec, sec);
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("ipmap insert entry failed: %s\n", sqlite3_errmsg(db));
    }
}

void binding_touch(sqlite3* db, std::int64_t rowid, std::int64_t utime) {
    char sql[1024];
    std::snprintf(sql, sizeof sql, "UPDATE ipmap SET utime = %" PRId64 " WHERE rowid = %" PRId64,
                  utime, rowid);
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("ipmap update failed: %s\n", sqlite3_errmsg(db));
    }
}

void binding_expire(sqlite3* db, std::int64_t cutoff) {
    char sql[1024];
    std::snprintf(sql, sizeof sql, "DELETE FROM ipmap WHERE utime <= %" PRId64, cutoff);
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("ipmap delete old records failed: %s\n", sqlite3_errmsg(db));
    }
}

void binding_current(sqlite3* db, int iptype, const char* ipaddr, CurrentBinding* current) {
    current->found = 0;
    // A statement belongs to the connection it was prepared on. The daemon
    // passes one handle for its whole life; a caller that moves on to
    // another connection gets the statement prepared anew there rather than
    // a lookup in the old database.
    if (current_stmt != nullptr && sqlite3_db_handle(current_stmt) != db) {
        sqlite3_finalize(current_stmt);
        current_stmt = nullptr;
    }
    if (current_stmt == nullptr) {
        if (sqlite3_prepare_v2(db, kCurrentSql, sizeof kCurrentSql, &current_stmt, nullptr) !=
            SQLITE_OK) {
            current_stmt = nullptr;
            diag_warn("imap get current prepare failed: %s\n", sqlite3_errmsg(db));
            return;
        }
    }
    if (sqlite3_bind_int(current_stmt, 1, iptype) != SQLITE_OK) {
        diag_warn("get imap current bind iptype failed: %s\n", sqlite3_errmsg(db));
        return;
    }
    // SQLITE_STATIC: the caller's text outlives the call, and the binding is
    // cleared before returning, so no copy is needed.
    if (sqlite3_bind_text(current_stmt, 2, ipaddr, -1, SQLITE_STATIC) != SQLITE_OK) {
        diag_warn("get imap current bind ipaddr failed: %s\n", sqlite3_errmsg(db));
        return;
    }
    if (sqlite3_step(current_stmt) == SQLITE_ROW) {
        current->rowid = sqlite3_column_int64(current_stmt, 0);
        current->age = sqlite3_column_int64(current_stmt, 1);
        const unsigned char* text = sqlite3_column_text(current_stmt, 2);
        copy_bounded(current->hwaddr, text != nullptr ? reinterpret_cast<const char*>(text) : "",
                     sizeof current->hwaddr);
        current->found = 1;
    }
    sqlite3_reset(current_stmt);
    sqlite3_clear_bindings(current_stmt);
}
