#include "store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag.h"

const char* library_directory = kDefaultLibraryDirectory;

namespace {

constexpr const char* kSuffix = ".sqlite";

constexpr const char* kDropVendorTables =
    "DROP TABLE IF EXISTS ma_l;\nDROP TABLE IF EXISTS ma_m;\nDROP TABLE IF EXISTS ma_s;\nDROP "
    "TABLE IF EXISTS ma_u;";

[[noreturn]] void vendor_not_initialized() {
    diag_fatal("the ma database (%s/%s%s) has not been initialized: run pelorin-update-ma\n",
               library_directory, kVendorBaseName, kSuffix);
}

// The attachment or the probe failed. SQLite reports a missing file and one
// it may not open alike, and an absent table as a plain SQLITE_ERROR: only
// those cases are the updater's to mend. Anything else (permissions, a
// damaged file, a lock) is named, since running the updater would not help.
[[noreturn]] void vendor_unusable(sqlite3* db, bool table_missing) {
    char path[kDbPathSize];
    std::snprintf(path, sizeof path, "%s/%s%s", library_directory, kVendorBaseName, kSuffix);
    struct stat st {};
    if (table_missing || (stat(path, &st) != 0 && errno == ENOENT)) vendor_not_initialized();
    diag_fatal("the ma database (%s/%s%s) cannot be read: %s\n", library_directory,
               kVendorBaseName, kSuffix, sqlite3_errmsg(db));
}

// Copies the directory into out, percent-encoding the characters that a URI
// file name would otherwise take as escape, query or fragment, so that the
// path SQLite opens is exactly the directory given. Returns false when the
// encoded text does not fit.
bool encode_uri_path(const char* directory, char* out, std::size_t size) {
    std::size_t n = 0;
    for (const char* p = directory; *p != '\0'; ++p) {
        const char c = *p;
        const bool special = c == '%' || c == '?' || c == '#';
        const std::size_t need = special ? 3 : 1;
        if (n + need >= size) return false;
        if (special) {
            std::snprintf(out + n, 4, "%%%02X", static_cast<unsigned char>(c));
        } else {
            out[n] = c;
        }
        n += need;
    }
    out[n] = '\0';
    return true;
}

}  // namespace

void store_check_path(const char* base_name, std::size_t slack) {
    if (std::strlen(library_directory) + std::strlen(base_name) + slack >= kDbPathSize) {
        diag_fatal("db_filename (%s/%s%s) exceeds maximum length of %d\n", library_directory,
                   base_name, kSuffix, static_cast<int>(kDbPathSize));
    }
}

sqlite3* store_open(const char* base_name, int mode) {
    char path[kDbPathSize];
    std::snprintf(path, sizeof path, "%s/%s%s", library_directory, base_name, kSuffix);
    return store_open_path(path, mode);
}

sqlite3* store_open_path(const char* path, int mode) {
    sqlite3* db = nullptr;
    if (mode == kOpenWrite) {
        const int rc = sqlite3_open_v2(
            path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
        if (rc != SQLITE_OK) diag_fatal("sqlite3 open of %s failed: %s\n", path, sqlite3_errmsg(db));
        if (sqlite3_db_readonly(db, "main") != 0) {
            diag_fatal("sqlite3 open of %s failed: read-only database\n", path);
        }
    } else {
        const int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
        if (rc != SQLITE_OK) diag_fatal("sqlite3 open of %s failed: %s\n", path, sqlite3_errmsg(db));
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return db;
}

sqlite3* store_open_interface(const char* interface_name, int mode) {
    sqlite3* db = store_open(interface_name, mode);
    if (mode == kOpenWrite && sqlite3_exec(db, kInterfaceSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("sqlite3 create table failed: %s\n", sqlite3_errmsg(db));
    }
    return db;
}

sqlite3* store_open_vendor(int mode) {
    sqlite3* db = store_open(kVendorBaseName, mode);
    if (mode == kOpenWrite) store_create_vendor_tables(db);
    return db;
}

void store_create_vendor_tables(sqlite3* db) {
    if (sqlite3_exec(db, kVendorSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("sqlite3 create table failed: %s\n", sqlite3_errmsg(db));
    }
}

void store_attach_vendor(sqlite3* db) {
    char directory[kDbPathSize * 2];
    if (!encode_uri_path(library_directory, directory, sizeof directory)) vendor_not_initialized();

    char sql[2048];
    const int n = std::snprintf(sql, sizeof sql,
                                "ATTACH DATABASE 'file:%s/ma_db.sqlite?mode=ro' AS ma_db", directory);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof sql) vendor_not_initialized();

    // Prepared as exactly one statement: whatever a directory name holds, the
    // text can only ever attach, never run a second statement.
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, &tail) != SQLITE_OK || stmt == nullptr) {
        sqlite3_finalize(stmt);
        vendor_not_initialized();
    }
    if (tail != nullptr && *tail != '\0') {
        sqlite3_finalize(stmt);
        vendor_not_initialized();
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) vendor_unusable(db, false);

    if (sqlite3_exec(db, "SELECT EXISTS(SELECT 1 FROM ma_u)", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        // An absent table is SQLITE_ERROR ("no such table"); a file that is
        // no database, a lock or a hot journal give codes of their own.
        vendor_unusable(db, sqlite3_errcode(db) == SQLITE_ERROR);
    }
}

VendorFile store_vendor_file() {
    char path[kDbPathSize];
    std::snprintf(path, sizeof path, "%s/%s%s", library_directory, kVendorBaseName, kSuffix);
    struct stat st {};
    if (stat(path, &st) != 0) return {};
    return {st.st_dev, st.st_ino, true};
}

bool store_reattach_vendor(sqlite3* db, VendorFile& attached) {
    const VendorFile now = store_vendor_file();
    if (!now.known) return false;
    // Attached before anyone noted the file: what is there now is the start.
    if (!attached.known) {
        attached = now;
        return false;
    }
    if (now.device == attached.device && now.inode == attached.inode) return false;
    // Detaching inside a transaction would change what it reads half-way.
    if (sqlite3_get_autocommit(db) == 0) return false;
    // Refused only while a statement still reads the attachment; the old
    // file keeps serving and the next call tries again.
    if (sqlite3_exec(db, "DETACH DATABASE ma_db", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    // Noted before the attachment: should the file be replaced again in
    // between, the next call attaches once more rather than never.
    attached = now;
    store_attach_vendor(db);
    return true;
}

void store_reset_vendor_tables(sqlite3* db) {
    if (sqlite3_exec(db, kDropVendorTables, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("sqlite3 drop table failed: %s\n", sqlite3_errmsg(db));
    }
    store_create_vendor_tables(db);
}

void store_maintain(sqlite3* db) {
    if (sqlite3_exec(db, "PRAGMA optimize;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("database optimize failed: %s\n", sqlite3_errmsg(db));
    }
    if (sqlite3_exec(db, "VACUUM;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("database vacuum failed: %s\n", sqlite3_errmsg(db));
    }
}

void store_close(sqlite3* db) { sqlite3_close(db); }

void store_begin(sqlite3* db) {
    if (sqlite3_exec(db, "BEGIN TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("begin transaction failed: %s\n", sqlite3_errmsg(db));
    }
}

void store_commit(sqlite3* db) {
    if (sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("end transaction failed: %s\n", sqlite3_errmsg(db));
    }
}

void vendor_insert(sqlite3* db, const char* table, const char* prefix, const char* organisation) {
    char sql[1024];
    std::snprintf(sql, sizeof sql, "INSERT INTO %s VALUES ('%s', '%s')", table, prefix, organisation);
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_warn("ma insert entry failed: %s\n", sqlite3_errmsg(db));
    }
}
