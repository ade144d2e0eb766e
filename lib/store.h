// The database files: where they live, how they are opened, their schemas,
// the read-only attachment of the vendor database, and the few statements
// (transactions, maintenance, vendor rows) that several programs share.
// Every failure here either warns and returns or ends the process.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstddef>

constexpr const char* kDefaultLibraryDirectory = "/var/db/pelorin";

// Replaced by every program's -L option; used exactly as given.
extern const char* library_directory;

constexpr int kOpenRead = 0;
constexpr int kOpenWrite = 1;

// Size of every database path buffer, terminator included.
constexpr std::size_t kDbPathSize = 1024;

// Slack each program's path test adds to the lengths it checks.
// Interface database: directory + interface name + 10 must stay below 1024.
constexpr std::size_t kInterfacePathSlack = 10;
// Vendor database: directory + "ma_db" + 11 (that is, directory + 16).
constexpr std::size_t kVendorPathSlack = 11;

constexpr const char* kVendorBaseName = "ma_db";

// Bounded wait on another process's lock before a statement fails, so that
// a reader never makes the daemon lose a record and an updater run never
// makes a daemon's lookup fail.
constexpr int kBusyTimeoutMs = 2000;

constexpr const char* kInterfaceSchema =
    "CREATE TABLE IF NOT EXISTS ipmap (iptype INTEGER NOT NULL,ipaddr TEXT NOT NULL,hwaddr TEXT "
    "NOT NULL,sec INTEGER NOT NULL,usec INTEGER NOT NULL,utime INTEGER NOT NULL);CREATE INDEX IF "
    "NOT EXISTS ipmap_last ON ipmap(iptype,ipaddr,sec,usec);";

constexpr const char* kVendorSchema =
    "CREATE TABLE IF NOT EXISTS ma_l (prefix TEXT NOT NULL PRIMARY KEY ON CONFLICT REPLACE,org "
    "TEXT NOT NULL);\nCREATE TABLE IF NOT EXISTS ma_m (prefix TEXT NOT NULL PRIMARY KEY ON "
    "CONFLICT REPLACE,org TEXT NOT NULL);\nCREATE TABLE IF NOT EXISTS ma_s (prefix TEXT NOT NULL "
    "PRIMARY KEY ON CONFLICT REPLACE,org TEXT NOT NULL);CREATE TABLE IF NOT EXISTS ma_u (prefix "
    "TEXT NOT NULL PRIMARY KEY ON CONFLICT REPLACE,org TEXT NOT NULL);";

// Ends the process with the "db_filename" message when
// strlen(library_directory) + strlen(base_name) + slack >= 1024.
void store_check_path(const char* base_name, std::size_t slack);

// Opens "<library_directory>/<base_name>.sqlite"; never returns on failure.
sqlite3* store_open(const char* base_name, int mode);
// The same for a path formed by the caller (the updater's temporary file).
sqlite3* store_open_path(const char* path, int mode);
sqlite3* store_open_interface(const char* interface_name, int mode);
sqlite3* store_open_vendor(int mode);

// Executes the vendor schema; ends the process if it fails.
void store_create_vendor_tables(sqlite3* db);

// Attaches the vendor database read-only as ma_db and checks that it was
// initialised (table ma_u exists). A missing file or table ends the process
// with the advice to run the updater; a file that exists but cannot be read
// ends it with SQLite's reason.
void store_attach_vendor(sqlite3* db);

// Which file ma_db.sqlite is: the updater replaces it by renaming a new file
// over it, so an attachment keeps reading the file it opened, unlinked, until
// it is attached anew.
struct VendorFile {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

// The file at the vendor database path now; known is false when it cannot
// be looked at (missing, say).
VendorFile store_vendor_file();

// When ma_db.sqlite is no longer the file noted in attached, detaches ma_db
// and attaches the file now in place (with store_attach_vendor's checks and
// messages), notes it in attached and returns true. Does nothing and returns
// false while a transaction is open on db, and when the path cannot be
// looked at: the old attachment keeps serving until the next call. With
// nothing noted yet, notes the file in place and returns false.
bool store_reattach_vendor(sqlite3* db, VendorFile& attached);

void store_reset_vendor_tables(sqlite3* db);
void store_maintain(sqlite3* db);
void store_close(sqlite3* db);
void store_begin(sqlite3* db);
void store_commit(sqlite3* db);

// REQUIRES: prefix and organisation hold no single quote; the statement
// must fit 1024 bytes.
void vendor_insert(sqlite3* db, const char* table, const char* prefix, const char* organisation);
