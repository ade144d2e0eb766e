// The vendor database (ma_db.sqlite, tables ma_l, ma_m, ma_s and ma_u): the
// one organisation lookup, attaching the file read-only to a connection and
// following it when the updater renames a new file over it, and the
// statements the updater builds a new file with. Values are always bound,
// never formatted into a statement.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <utility>

#include "library_dir.h"
#include "sqlite_handles.h"

constexpr const char* kVendorSchema =
    "CREATE TABLE IF NOT EXISTS ma_l (prefix TEXT NOT NULL PRIMARY KEY ON CONFLICT REPLACE,org "
    "TEXT NOT NULL);\nCREATE TABLE IF NOT EXISTS ma_m (prefix TEXT NOT NULL PRIMARY KEY ON "
    "CONFLICT REPLACE,org TEXT NOT NULL);\nCREATE TABLE IF NOT EXISTS ma_s (prefix TEXT NOT NULL "
    "PRIMARY KEY ON CONFLICT REPLACE,org TEXT NOT NULL);CREATE TABLE IF NOT EXISTS ma_u (prefix "
    "TEXT NOT NULL PRIMARY KEY ON CONFLICT REPLACE,org TEXT NOT NULL);";

// The organisation of the hardware address text in the column or
// parameter named hwaddr, most specific registration first: MA-S, MA-M,
// MA-L, then the locally administered digit, else "(unknown)". The one
// place the rule is written; a macro so that it joins other literals.
#define PELORIN_ORGANISATION_OF_HWADDR \
    "coalesce(\n" \
    "(SELECT org FROM ma_s WHERE prefix = substr(hwaddr,1,13)),\n" \
    "(SELECT org FROM ma_m WHERE prefix = substr(hwaddr,1,10)),\n" \
    "(SELECT org FROM ma_l WHERE prefix = substr(hwaddr,1,8)),\n" \
    "(SELECT org FROM ma_u WHERE prefix = substr(hwaddr,2,1)),\n" \
    "'(unknown)'\n" \
    ")\n"

constexpr std::size_t kOrganisationSize = 128;

// Attaches "<dir>/ma_db.sqlite" to db read-only as ma_db (the file name is
// a bound value) and checks that the updater built it (table ma_u exists).
// A missing file or table ends the process with the advice to run the
// updater; a file that exists but cannot be read ends it with SQLite's
// reason. REQUIRES: db was opened with URI file names allowed.
void attach_vendor_database(sqlite3* db, const LibraryDir& dir);

// Which file ma_db.sqlite is: the updater replaces it by renaming a new file
// over it, and an attachment keeps reading the file it opened, unlinked,
// until it is attached anew.
struct VendorFile {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};
VendorFile vendor_file(const LibraryDir& dir);

// When ma_db.sqlite is no longer the file noted in attached, detaches ma_db
// and attaches the file now in place (with attach_vendor_database's checks
// and messages), notes it and returns true. Does nothing and returns false
// while a transaction is open on db, or when the path cannot be looked at:
// the old attachment keeps serving until the next call. With nothing noted
// yet, notes the file in place and returns false.
bool reattach_vendor_database(sqlite3* db, const LibraryDir& dir, VendorFile& attached);

class VendorDb {
   public:
    // The lookup tool: the file itself, read-only; a missing file is fatal
    // ("sqlite3 open of %s failed: %s\n"). The tables are not checked.
    static VendorDb open_read(const LibraryDir& dir);
    // The updater: path read-write, created with the vendor schema if new.
    static VendorDb open_write(const char* path);
    // The daemon: a connection of its own, holding nothing, with the file
    // attached read-only and checked as attach_vendor_database does.
    static VendorDb attach(const LibraryDir& dir);

    VendorDb(VendorDb&&) = default;
    VendorDb& operator=(VendorDb&&) = default;

    // The organisation of hwaddr, at most 127 bytes, into out; fatal on any
    // database error. hwaddr is used exactly as given: it may come from a
    // user, and as a bound value it can only ever be compared.
    void lookup(const char* hwaddr, char out[kOrganisationSize]);

    // For an attached connection: follows a replaced file (see
    // reattach_vendor_database); true when it attached anew.
    bool follow_replacement();

    // The updater's build, in this order: begin, reset_tables, inserts,
    // commit, maintain. Any failure but an insert's ends the process.
    void begin();
    void reset_tables();
    // Inserts into one of the four tables, by name; warns "ma insert entry
    // failed: %s\n" and goes on when the row is refused.
    void insert(const char* table, const char* prefix, const char* organisation);
    void commit();
    void maintain();

   private:
    VendorDb(Db db, LibraryDir dir) : db_(std::move(db)), dir_(dir) {}

    Db db_;
    LibraryDir dir_;       // where an attached file is followed
    VendorFile attached_;  // known only for an attached connection
    Stmt lookup_;
    std::array<Stmt, 4> insert_;
};
