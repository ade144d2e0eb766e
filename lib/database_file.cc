#include "database_file.h"

#include "diag.h"

Db open_database(const char* path, OpenMode mode) {
    const int flags = mode == OpenMode::write
                          ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI
                          : SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path, &raw, flags, nullptr);
    // Adopted first: SQLite hands back a handle even when the open failed.
    Db db(raw);
    if (rc != SQLITE_OK) diag_fatal("sqlite3 open of %s failed: %s\n", path, sqlite3_errmsg(raw));
    if (mode == OpenMode::write && sqlite3_db_readonly(raw, "main") != 0) {
        diag_fatal("sqlite3 open of %s failed: read-only database\n", path);
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    return db;
}

void maintain_database(sqlite3* db) {
    if (sqlite3_exec(db, "PRAGMA optimize;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("database optimize failed: %s\n", sqlite3_errmsg(db));
    }
    if (sqlite3_exec(db, "VACUUM;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("database vacuum failed: %s\n", sqlite3_errmsg(db));
    }
}
