#include "vendor_db.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "database_file.h"
#include "diag.h"

namespace {

constexpr const char* kAttachSql = "ATTACH DATABASE ? AS ma_db";
constexpr const char* kDetachSql = "DETACH DATABASE ma_db";
constexpr const char* kInitializedSql = "SELECT EXISTS(SELECT 1 FROM ma_db.ma_u)";
constexpr const char* kLookupSql =
    "SELECT " PELORIN_ORGANISATION_OF_HWADDR "FROM (SELECT ? AS hwaddr)";
constexpr const char* kDropVendorTables =
    "DROP TABLE IF EXISTS ma_l;\nDROP TABLE IF EXISTS ma_m;\nDROP TABLE IF EXISTS ma_s;\nDROP "
    "TABLE IF EXISTS ma_u;";
// A table name cannot be bound: one fixed statement per table.
constexpr const char* kTables[] = {"ma_l", "ma_m", "ma_s", "ma_u"};
constexpr const char* kInsertSql[] = {
    "INSERT INTO ma_l VALUES (?, ?)",
    "INSERT INTO ma_m VALUES (?, ?)",
    "INSERT INTO ma_s VALUES (?, ?)",
    "INSERT INTO ma_u VALUES (?, ?)",
};

[[noreturn]] void vendor_not_initialized(const LibraryDir& dir) {
    diag_fatal("the ma database (%s/%s%s) has not been initialized: run pelorin-update-ma\n",
               dir.path(), kVendorBaseName, kDatabaseSuffix);
}

// The attachment or the probe failed. SQLite reports a missing file and one
// it may not open alike, and an absent table as a plain SQLITE_ERROR: only
// those cases are the updater's to mend. Anything else (permissions, a
// damaged file, a lock) is named, since running the updater would not help.
[[noreturn]] void vendor_unusable(sqlite3* db, const LibraryDir& dir, bool table_missing) {
    const std::string path = dir.file(kVendorBaseName);
    struct stat st {};
    if (table_missing || (stat(path.c_str(), &st) != 0 && errno == ENOENT)) {
        vendor_not_initialized(dir);
    }
    diag_fatal("the ma database (%s/%s%s) cannot be read: %s\n", dir.path(), kVendorBaseName,
               kDatabaseSuffix, sqlite3_errmsg(db));
}

// The file as a URI that opens it read-only, the directory percent-encoded
// where a URI would otherwise take a character as escape, query or fragment,
// so that the path SQLite opens is exactly the directory given.
std::string read_only_uri(const LibraryDir& dir) {
    // "file:" followed directly by "//name/..." would make name a host:
    // such a path goes after an empty authority instead.
    const char* path = dir.path();
    std::string uri = path[0] == '/' && path[1] == '/' ? "file://" : "file:";
    for (const char* p = dir.path(); *p != '\0'; ++p) {
        const char c = *p;
        if (c == '%' || c == '?' || c == '#') {
            char escaped[sizeof "%XX"];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    uri += '/';
    uri += kVendorBaseName;
    uri += kDatabaseSuffix;
    uri += "?mode=ro";
    return uri;
}

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

void attach_vendor_database(sqlite3* db, const LibraryDir& dir) {
    const std::string uri = read_only_uri(dir);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, kAttachSql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        vendor_unusable(db, dir, false);
    }
    const Stmt attach(raw);
    if (bind_text(raw, 1, uri) != SQLITE_OK || sqlite3_step(raw) != SQLITE_DONE) {
        vendor_unusable(db, dir, false);
    }
    if (!exec(db, kInitializedSql)) {
        // An absent table is SQLITE_ERROR ("no such table"); a file that is
        // no database, a lock or a hot journal give codes of their own.
        vendor_unusable(db, dir, sqlite3_errcode(db) == SQLITE_ERROR);
    }
}

VendorFile vendor_file(const LibraryDir& dir) {
    struct stat st {};
    if (stat(dir.file(kVendorBaseName).c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, true};
}

bool reattach_vendor_database(sqlite3* db, const LibraryDir& dir, VendorFile& attached) {
    const VendorFile now = vendor_file(dir);
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
    if (!exec(db, kDetachSql)) return false;
    // Noted before the attachment: should the file be replaced again in
    // between, the next call attaches once more rather than never.
    attached = now;
    attach_vendor_database(db, dir);
    return true;
}

VendorDb VendorDb::open_read(const LibraryDir& dir) {
    return VendorDb(open_database(dir.file(kVendorBaseName).c_str(), OpenMode::read), dir);
}

VendorDb VendorDb::open_write(const char* path) {
    VendorDb vendor(open_database(path, OpenMode::write), LibraryDir());
    if (!exec(vendor.db_.get(), kVendorSchema)) {
        diag_fatal("sqlite3 create table failed: %s\n", sqlite3_errmsg(vendor.db_.get()));
    }
    return vendor;
}

VendorDb VendorDb::attach(const LibraryDir& dir) {
    // Nothing of its own: every name it reads is the attachment's.
    VendorDb vendor(open_database(":memory:", OpenMode::write), dir);
    vendor.attached_ = vendor_file(dir);
    attach_vendor_database(vendor.db_.get(), dir);
    return vendor;
}

void VendorDb::lookup(const char* hwaddr, char out[kOrganisationSize]) {
    sqlite3* db = db_.get();
    sqlite3_stmt* stmt = kept_statement(db, lookup_, kLookupSql);
    if (stmt == nullptr) diag_fatal("query ma prepare failed: %s\n", sqlite3_errmsg(db));
    const StmtReset reset(stmt);
    if (bind_text(stmt, 1, hwaddr) != SQLITE_OK) {
        diag_fatal("query ma prepare failed: %s\n", sqlite3_errmsg(db));
    }
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(stmt, 0);
        copy_bounded(out, text != nullptr ? reinterpret_cast<const char*>(text) : "",
                     kOrganisationSize);
    } else if (rc != SQLITE_DONE) {
        diag_fatal("ma lookup org failed: %s\n", sqlite3_errmsg(db));
    }
}

bool VendorDb::follow_replacement() {
    if (!attached_.known) return false;
    return reattach_vendor_database(db_.get(), dir_, attached_);
}

void VendorDb::begin() {
    if (!exec(db_.get(), "BEGIN TRANSACTION")) {
        diag_fatal("begin transaction failed: %s\n", sqlite3_errmsg(db_.get()));
    }
}

void VendorDb::reset_tables() {
    if (!exec(db_.get(), kDropVendorTables)) {
        diag_fatal("sqlite3 drop table failed: %s\n", sqlite3_errmsg(db_.get()));
    }
    if (!exec(db_.get(), kVendorSchema)) {
        diag_fatal("sqlite3 create table failed: %s\n", sqlite3_errmsg(db_.get()));
    }
}

void VendorDb::insert(const char* table, const char* prefix, const char* organisation) {
    sqlite3* db = db_.get();
    std::size_t index = 0;
    while (index < std::size(kTables) && std::strcmp(kTables[index], table) != 0) ++index;
    if (index == std::size(kTables)) {
        // What SQLite says of a table that is not there.
        diag_warn("ma insert entry failed: no such table: %s\n", table);
        return;
    }
    sqlite3_stmt* stmt = kept_statement(db, insert_[index], kInsertSql[index]);
    if (stmt == nullptr) {
        diag_warn("ma insert entry failed: %s\n", sqlite3_errmsg(db));
        return;
    }
    const StmtReset reset(stmt);
    if (bind_text(stmt, 1, prefix) != SQLITE_OK || bind_text(stmt, 2, organisation) != SQLITE_OK ||
        sqlite3_step(stmt) != SQLITE_DONE) {
        diag_warn("ma insert entry failed: %s\n", sqlite3_errmsg(db));
    }
}

void VendorDb::commit() {
    if (!exec(db_.get(), "END TRANSACTION")) {
        diag_fatal("end transaction failed: %s\n", sqlite3_errmsg(db_.get()));
    }
}

void VendorDb::maintain() { maintain_database(db_.get()); }
