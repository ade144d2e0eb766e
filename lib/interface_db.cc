#include "interface_db.h"

#include <string>

#include "diag.h"
#include "vendor_db.h"

namespace {

// The first three columns are what the tracker decides on; the last three
// let the daemon keep the row in memory.
constexpr const char* kKeptSql[] = {
    // kCurrent
    "SELECT rowid,(unixepoch() - utime),hwaddr,sec,usec,utime FROM ipmap\nWHERE rowid = (\n"
    "SELECT rowid\nFROM ipmap\nWHERE iptype == ? AND ipaddr == ?\nORDER BY sec DESC,usec "
    "DESC\nLIMIT 1)",
    // kPrevious
    ("SELECT hwaddr FROM ipmap WHERE iptype == ? AND ipaddr == ?\nORDER BY sec DESC,usec DESC\n"
     "LIMIT 1 OFFSET 1"),
    "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)",  // kInsert
    "UPDATE ipmap SET utime = ? WHERE rowid = ?",   // kTouch
    "DELETE FROM ipmap WHERE utime <= ?",           // kExpire
    "BEGIN IMMEDIATE",                              // kBegin
    "COMMIT",                                       // kCommit
    "ROLLBACK",                                     // kRollback
};

// Reading the schema is the first read of the file. A read-only connection
// cannot roll back a journal that a writer killed in the middle of a write
// left behind; without this check the failure would surface at the next
// statement, in the vendor database's name.
void check_readable(sqlite3* db, const char* path) {
    if (sqlite3_exec(db, "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr, nullptr) ==
        SQLITE_OK) {
        return;
    }
    if (sqlite3_extended_errcode(db) == SQLITE_READONLY_ROLLBACK) {
        diag_fatal(
            "interface database %s holds an unfinished write left by a watcher that was "
            "stopped: the next start of the watcher, or any program allowed to write the file, "
            "rolls it back\n",
            path);
    }
    diag_fatal("sqlite3 open of %s failed: %s\n", path, sqlite3_errmsg(db));
}

Db open_interface(const char* path, OpenMode mode) {
    Db db = open_database(path, mode);
    if (mode == OpenMode::write) {
        if (sqlite3_exec(db.get(), kInterfaceSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
            diag_fatal("sqlite3 create table failed: %s\n", sqlite3_errmsg(db.get()));
        }
    } else {
        check_readable(db.get(), path);
    }
    return db;
}

}  // namespace

InterfaceDb::InterfaceDb(const LibraryDir& dir, const char* interface_name, OpenMode mode)
    : db_(open_interface(dir.file(interface_name).c_str(), mode)) {}

InterfaceDb::InterfaceDb(const char* path, OpenMode mode) : db_(open_interface(path, mode)) {}

std::optional<InterfaceDb> InterfaceDb::open_or_warn(const LibraryDir& dir, const char* name) {
    const std::string path = dir.file(name);
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
        diag_warn("sqlite3 open of %s failed: %s\n", path.c_str(), sqlite3_errmsg(raw));
        return std::nullopt;
    }
    if (sqlite3_db_readonly(raw, "main") != 0) {
        diag_warn("sqlite3 open of %s failed: read-only database\n", path.c_str());
        return std::nullopt;
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    if (sqlite3_exec(raw, kInterfaceSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("sqlite3 create table failed: %s\n", sqlite3_errmsg(raw));
        return std::nullopt;
    }
    return InterfaceDb(std::move(db));
}

bool InterfaceDb::insert(int iptype, const char* ipaddr, const char* hwaddr, std::int64_t sec,
                         std::int64_t usec) {
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[kInsert], kKeptSql[kInsert]);
    if (stmt == nullptr) return false;
    const StmtReset reset(stmt);
    // The first sighting's seconds are also its first utime.
    return sqlite3_bind_int(stmt, 1, iptype) == SQLITE_OK &&
           bind_text(stmt, 2, ipaddr) == SQLITE_OK && bind_text(stmt, 3, hwaddr) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, 4, sec) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, 5, usec) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, 6, sec) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_DONE;
}

bool InterfaceDb::touch(std::int64_t rowid, std::int64_t utime) {
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[kTouch], kKeptSql[kTouch]);
    if (stmt == nullptr) return false;
    const StmtReset reset(stmt);
    return sqlite3_bind_int64(stmt, 1, utime) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, 2, rowid) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_DONE;
}

bool InterfaceDb::expire(std::int64_t cutoff) {
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[kExpire], kKeptSql[kExpire]);
    bool done = false;
    if (stmt != nullptr) {
        const StmtReset reset(stmt);
        done = sqlite3_bind_int64(stmt, 1, cutoff) == SQLITE_OK &&
               sqlite3_step(stmt) == SQLITE_DONE;
    }
    if (!done) diag_warn("ipmap delete old records failed: %s\n", error_message());
    return done;
}

bool InterfaceDb::current(int iptype, const char* ipaddr, CurrentBinding* current) {
    current->found = 0;
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[kCurrent], kKeptSql[kCurrent]);
    // "imap": the texts administrators' log filters match, kept as they are.
    if (stmt == nullptr) {
        diag_warn("imap get current prepare failed: %s\n", error_message());
        return false;
    }
    const StmtReset reset(stmt);
    if (sqlite3_bind_int(stmt, 1, iptype) != SQLITE_OK) {
        diag_warn("get imap current bind iptype failed: %s\n", error_message());
        return false;
    }
    if (bind_text(stmt, 2, ipaddr) != SQLITE_OK) {
        diag_warn("get imap current bind ipaddr failed: %s\n", error_message());
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

bool InterfaceDb::previous_hwaddr(int iptype, const char* ipaddr, char out[18]) {
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[kPrevious], kKeptSql[kPrevious]);
    if (stmt == nullptr) return false;
    const StmtReset reset(stmt);
    if (sqlite3_bind_int(stmt, 1, iptype) != SQLITE_OK || bind_text(stmt, 2, ipaddr) != SQLITE_OK ||
        sqlite3_step(stmt) != SQLITE_ROW) {
        return false;
    }
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    copy_bounded(out, text != nullptr ? reinterpret_cast<const char*>(text) : "", 18);
    return true;
}

bool InterfaceDb::run_kept(Kept which) {
    sqlite3_stmt* stmt = kept_statement(db_.get(), kept_[which], kKeptSql[which]);
    if (stmt == nullptr) return false;
    const StmtReset reset(stmt);
    return sqlite3_step(stmt) == SQLITE_DONE;
}

bool InterfaceDb::begin() { return run_kept(kBegin); }

bool InterfaceDb::commit() { return run_kept(kCommit); }

void InterfaceDb::rollback() { run_kept(kRollback); }

const char* InterfaceDb::file_name() const {
    const char* name = sqlite3_db_filename(db_.get(), "main");
    return name != nullptr ? name : "";
}

bool InterfaceDb::database_now(std::int64_t* now) const {
    if (vfs_ == nullptr &&
        (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_VFS_POINTER, &vfs_) != SQLITE_OK ||
         vfs_ == nullptr)) {
        vfs_ = nullptr;
        return false;
    }
    sqlite3_vfs* vfs = vfs_;
    // Julian day number in milliseconds, as SQLite's date functions read it.
    sqlite3_int64 ms = 0;
    if (vfs->iVersion >= 2 && vfs->xCurrentTimeInt64 != nullptr) {
        if (vfs->xCurrentTimeInt64(vfs, &ms) != SQLITE_OK) return false;
    } else {
        double days = 0;
        if (vfs->xCurrentTime == nullptr || vfs->xCurrentTime(vfs, &days) != SQLITE_OK) {
            return false;
        }
        ms = static_cast<sqlite3_int64>(days * 86400000.0);
    }
    // unixepoch(): whole seconds of the Julian day number less the seconds
    // up to 1970-01-01, computed exactly as SQLite does.
    constexpr sqlite3_int64 kUnixEpochJulianSeconds = 210866760000;
    *now = ms / 1000 - kUnixEpochJulianSeconds;
    return true;
}

bool InterfaceDb::limit_page_cache(int kibibytes) {
    const std::string pragma = "PRAGMA cache_size = -" + std::to_string(kibibytes);
    return sqlite3_exec(db_.get(), pragma.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

void InterfaceDb::attach_vendor(const LibraryDir& dir) { attach_vendor_database(db_.get(), dir); }
