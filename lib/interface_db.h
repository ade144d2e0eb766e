// One interface database (IFNAME.sqlite, table ipmap): its connection, the
// statements that write and read the binding history (kept prepared, their
// values always bound, never formatted into the text), and the reads of the
// record report and of the HTML report's snapshot. Every program reaches an
// interface database through this owner.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "database_file.h"
#include "interface_snapshot.h"
#include "library_dir.h"
#include "sqlite_handles.h"

constexpr const char* kInterfaceSchema =
    "CREATE TABLE IF NOT EXISTS ipmap (iptype INTEGER NOT NULL,ipaddr TEXT NOT NULL,hwaddr TEXT "
    "NOT NULL,sec INTEGER NOT NULL,usec INTEGER NOT NULL,utime INTEGER NOT NULL);CREATE INDEX IF "
    "NOT EXISTS ipmap_last ON ipmap(iptype,ipaddr,sec,usec);";

struct CurrentBinding {
    int found;
    std::int64_t rowid;
    // Database clock minus the row's utime; negative when utime lies ahead.
    std::int64_t age;
    char hwaddr[18];
    // The row's first sighting and last refresh.
    std::int64_t sec;
    std::int64_t usec;
    std::int64_t utime;
};

// What the record report asks for: the newest row per IP address or every
// row, narrowed by family (0 both, 4, 6), or by an IP address text (the
// family is then ignored), or by a hardware address text (and the family).
struct ReportFilter {
    int iptype = 0;
    bool all_records = false;
    const char* ipaddr = nullptr;
    const char* hwaddr = nullptr;
};

// One line of the record report as the database gives it; a NULL column
// reads "(null)", as the C library has always printed it.
struct ReportRow {
    const char* first_seen;  // local date and time of the first sighting
    const char* age_days;    // database clock minus utime, in whole days
    int iptype;
    const char* ipaddr;
    const char* hwaddr;
    const char* organisation;
};

class InterfaceDb {
   public:
    // Opens "<dir>/<interface_name>.sqlite". Write mode creates the file and
    // its schema; read mode creates nothing, and names the file when it
    // cannot be read, also when a watcher stopped in the middle of a write
    // left a journal that only a writer may roll back. Never returns on
    // failure. REQUIRES: dir.check(interface_name, kInterfacePathSlack).
    InterfaceDb(const LibraryDir& dir, const char* interface_name, OpenMode mode);
    // The same for a path of the caller's (":memory:" for a fuzz target).
    InterfaceDb(const char* path, OpenMode mode);
    // For a database that a running daemon adds (a VLAN's): write mode, and
    // on failure the same messages as warnings and no database.
    static std::optional<InterfaceDb> open_or_warn(const LibraryDir& dir, const char* name);

    InterfaceDb(InterfaceDb&&) = default;
    InterfaceDb& operator=(InterfaceDb&&) = default;

    // The binding statements. Each returns true when it ran to completion;
    // on failure error_message() tells why, and the caller reports it.
    bool insert(int iptype, const char* ipaddr, const char* hwaddr, std::int64_t sec,
                std::int64_t usec);
    bool touch(std::int64_t rowid, std::int64_t utime);
    // Deletes every row whose utime is at or before cutoff; warns "ipmap
    // delete old records failed: %s\n" itself.
    bool expire(std::int64_t cutoff);
    // Looks up the newest first sighting (sec, usec) of the address. When
    // found is 0 on return the other fields were not written. Returns false
    // when the lookup itself failed (its preparation and binding failures
    // are warned), which found alone cannot tell from an address without a
    // row.
    bool current(int iptype, const char* ipaddr, CurrentBinding* current);
    // The hardware address the address had before its current binding (the
    // second newest first sighting) into out; false when it had none or the
    // lookup failed (not warned: it only names the kind of a change).
    bool previous_hwaddr(int iptype, const char* ipaddr, char out[18]);

    // One transaction around several writes: BEGIN IMMEDIATE, so that no
    // other writer can come between; COMMIT, which waits out readers within
    // the busy timeout; ROLLBACK. None warns.
    bool begin();
    bool commit();
    void rollback();

    // PRAGMA optimize and VACUUM, warning on failure.
    void maintain() { maintain_database(db_.get()); }

    int changes() const { return sqlite3_changes(db_.get()); }
    std::int64_t last_insert_rowid() const { return sqlite3_last_insert_rowid(db_.get()); }
    const char* error_message() const { return sqlite3_errmsg(db_.get()); }
    // False once SQLite has rolled an open transaction back by itself (a
    // full disk, say) or none is open.
    bool in_transaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }
    // The file's path; "" for a database in memory.
    const char* file_name() const;
    // Seconds on the database's own clock, what unixepoch() returns.
    bool database_now(std::int64_t* now) const;
    // Bounds the pages the connection keeps in memory (SQLite's default is
    // about 2 MB); the pages it drops are read again from the system's
    // cache. False when SQLite refused.
    bool limit_page_cache(int kibibytes);

    // Attaches the vendor database read-only, for the reports that name
    // each hardware address's organisation (see attach_vendor_database).
    void attach_vendor(const LibraryDir& dir);

    // The record report's rows, oldest first sighting first, each handed to
    // on_row. Fatal on any database error ("imap query prepare failed:
    // %s\n", "query failed: %s\n"). REQUIRES: attach_vendor.
    void report_rows(const ReportFilter& filter,
                     const std::function<void(const ReportRow&)>& on_row);

    // Everything the HTML report shows of this database, read in one read
    // transaction. Fatal on any database error. REQUIRES: attach_vendor, no
    // transaction open.
    InterfaceSnapshot snapshot(const std::string& interface_name);

    // Only for tests, benchmarks and fuzz targets that arrange or inspect
    // the file through the same connection.
    sqlite3* raw() const { return db_.get(); }

   private:
    explicit InterfaceDb(Db db) : db_(std::move(db)) {}

    enum Kept {
        kCurrent,
        kPrevious,
        kInsert,
        kTouch,
        kExpire,
        kBegin,
        kCommit,
        kRollback,
        kKeptCount
    };
    bool run_kept(Kept which);

    Db db_;
    // The connection's VFS, whose clock database_now reads: looked up once,
    // since asking the connection for it takes its lock every time.
    mutable sqlite3_vfs* vfs_ = nullptr;
    // After the connection, so finalized before it closes.
    std::array<Stmt, kKeptCount> kept_;
};
