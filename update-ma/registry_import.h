// Rebuilds the vendor database from the registry CSV files in the library
// directory into a new file that replaces the old one only when complete,
// so readers see either the old tables or the new ones, whatever ends the
// run. Every failure but a refused row is fatal.
#pragma once

#include <span>

#include "library_dir.h"
#include "registry_list.h"
#include "vendor_db.h"

// Inserts every assignment row of "<library>/<table>.csv" into table.
// REQUIRES: the library directory passed the updater's path check.
void import_registry(VendorDb& vendor, const LibraryDir& library, const char* table);

// Builds the tables from each registry's CSV file plus the locally
// administered rows in one transaction, optimises and vacuums the new file,
// and puts it in place of the vendor database.
void rebuild_vendor_database(const LibraryDir& library, std::span<const Registry> registries);
