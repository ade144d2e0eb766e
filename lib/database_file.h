// Opening a database file of the suite (the two modes, the messages a
// failed open ends the process with, the bounded wait on another process's
// lock that every connection gets) and keeping it compact.
#pragma once

#include "sqlite_handles.h"

enum class OpenMode { read, write };

// Bounded wait on another process's lock before a statement fails, so that
// a reader never makes the daemon lose a record and an updater run never
// makes a daemon's lookup fail.
constexpr int kBusyTimeoutMs = 2000;

// Opens path (URI file names allowed) read-only, or read-write creating it;
// a failure, or a write open that SQLite could only make read-only, ends
// the process with "sqlite3 open of %s failed: %s\n".
Db open_database(const char* path, OpenMode mode);

// PRAGMA optimize, then VACUUM; each failure is a warning ("database
// optimize failed: %s\n", "database vacuum failed: %s\n").
void maintain_database(sqlite3* db);
