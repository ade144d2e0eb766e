// Rebuilds the vendor database from the registry CSV files in the library
// directory into a new file that replaces the old one only when complete,
// so readers see either the old tables or the new ones, whatever ends the
// run. Every failure but a refused row is fatal.
#pragma once

#include <sqlite3.h>

#include <span>

#include "registry_list.h"

// Inserts every assignment row of "<library_directory>/<table>.csv" into
// table. REQUIRES: the library directory passed the updater's path check.
void import_registry(sqlite3* db, const char* table);

// Builds the tables from each registry's CSV file plus the locally
// administered rows in one transaction, optimises and vacuums the new file,
// and puts it in place of the vendor database.
void rebuild_vendor_database(std::span<const Registry> registries);
