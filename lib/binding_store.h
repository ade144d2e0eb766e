// The statements that write and read the binding history (table ipmap) of an
// interface database. Only the daemon calls them; every failure is a warning
// and the caller carries on.
#pragma once

#include <sqlite3.h>

#include <cstdint>

struct CurrentBinding {
    int found;
    std::int64_t rowid;
    // Database clock minus the row's utime; negative when utime lies ahead.
    std::int64_t age;
    char hwaddr[18];
};

// REQUIRES: the texts hold no single quote (address and hardware address
// formatter output only).
void binding_insert(sqlite3* db, int iptype, const char* ipaddr, const char* hwaddr,
                    std::int64_t sec, std::int64_t usec);
void binding_touch(sqlite3* db, std::int64_t rowid, std::int64_t utime);
// Deletes every row whose utime is at or before cutoff.
void binding_expire(sqlite3* db, std::int64_t cutoff);

// Looks up the newest first sighting (sec, usec) of the address. When found
// is 0 on return the other fields were not written. The statement is
// prepared once and reused for the process's whole life; only a failed
// preparation, or a call with another handle than the last, prepares again.
void binding_current(sqlite3* db, int iptype, const char* ipaddr, CurrentBinding* current);
