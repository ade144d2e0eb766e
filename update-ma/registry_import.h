// Rebuilds the vendor database from the registry CSV files in the library
// directory, all in one transaction, so readers see either the old tables
// or the complete new ones. Every failure but a refused row is fatal.
#pragma once

#include <sqlite3.h>

#include <span>

#include "registry_list.h"

// Inserts every assignment row of "<library_directory>/<table>.csv" into
// table. REQUIRES: the library directory passed the updater's path check.
void import_registry(sqlite3* db, const char* table);

// Opens the vendor database, replaces its tables with the rows of each
// registry's CSV file plus the locally administered rows, commits,
// optimises, vacuums and closes it.
void rebuild_vendor_database(std::span<const Registry> registries);
