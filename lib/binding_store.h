// The statements that write and read the binding history (table ipmap) of
// one interface database, kept prepared for the life of the connection with
// their values bound, never formatted into the text. Only the daemon uses
// them; every failure is a warning and the caller carries on.
#pragma once

#include <sqlite3.h>

#include <cstdint>

#include "sqlite_handles.h"

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

class BindingStatements {
   public:
    // REQUIRES: db outlives this object.
    explicit BindingStatements(sqlite3* db) : db_(db) {}

    // Each returns true when its statement ran to completion; on failure it
    // has warned, unless warn is false (the caller then reports
    // sqlite3_errmsg() itself, later). sqlite3_changes() of the connection
    // tells how many rows the statement changed.
    bool insert(int iptype, const char* ipaddr, const char* hwaddr, std::int64_t sec,
                std::int64_t usec, bool warn = true);
    bool touch(std::int64_t rowid, std::int64_t utime, bool warn = true);
    // Deletes every row whose utime is at or before cutoff.
    bool expire(std::int64_t cutoff);

    // Looks up the newest first sighting (sec, usec) of the address. When
    // found is 0 on return the other fields were not written. Returns false
    // when the lookup itself failed, which the caller cannot tell from an
    // address without a row by found alone.
    bool current(int iptype, const char* ipaddr, CurrentBinding* current);

    // One transaction around several of the statements above: BEGIN
    // IMMEDIATE, so that no other writer can come between; COMMIT, which
    // waits out readers within the busy timeout; ROLLBACK. None warns.
    bool begin();
    bool commit();
    void rollback();

   private:
    sqlite3* db_;
    Stmt current_, insert_, touch_, expire_, begin_, commit_, rollback_;
};
