// Replacing the vendor database as a whole: the new tables are built in a
// temporary file in the library directory and renamed over ma_db.sqlite
// once they are on disk, so a reader (most of them read-only, unable to roll
// a journal back) only ever finds the old file or the complete new one.
#pragma once

#include "library_dir.h"

// Name of the temporary file in the library directory. It does not end in
// ".sqlite", so no tool takes it for an interface database.
constexpr const char* kVendorTemporaryName = "ma_db.tmp";

// Forms the paths, waits for any other run's rebuild in the same directory
// to end (a lock on the directory, held until exit), removes a temporary
// file (and its journal) that a killed run left behind, and arranges for this run's temporary file to be removed
// when the process ends before replacement_commit: on exit, and on SIGTERM,
// SIGINT, SIGHUP and SIGQUIT, which then end the process as they would have.
// Returns the temporary path, valid for the life of the process.
// REQUIRES: the library directory passed the updater's path check.
const char* replacement_prepare(const LibraryDir& library);

// The temporary file is complete and closed: gives it the owner and mode of
// the current vendor database, syncs it, removes a stale ma_db.sqlite-journal
// (which a later read-write open would otherwise apply to the new file),
// renames it over ma_db.sqlite and syncs the directory. Every failure is
// fatal and leaves ma_db.sqlite as it was.
void replacement_commit(const LibraryDir& library);
