#include "registry_import.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "names.h"
#include "registry_parse.h"
#include "store.h"
#include "vendor_replace.h"

void import_registry(sqlite3* db, const char* table) {
    char path[kDbPathSize];
    std::snprintf(path, sizeof path, "%s/%s%s", library_directory, table, ".csv");
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) diag_fatal("failed to open %s: %s\n", path, std::strerror(errno));
    std::printf("Updating %s database\n", table);

    // A line longer than the buffer arrives in pieces, each parsed alone.
    char line[1024];
    RegistryRow row;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        switch (parse_registry_line(std::string_view(line, std::strlen(line)), row)) {
            case RegistryLine::skipped:
                break;
            case RegistryLine::accepted:
                vendor_insert(db, table, row.prefix, row.organisation);
                break;
            case RegistryLine::bad_assignment: {
                char assignment[sizeof line];
                const std::size_t n = row.assignment.size();
                std::memcpy(assignment, row.assignment.data(), n);
                assignment[n] = '\0';
                diag_fatal("unexpected assignment value: %s\n", assignment);
            }
            case RegistryLine::quoted_assignment:
                // Placed in the statement, the quote would end the literal and
                // let the rest of the line run as SQL; the row is refused as
                // an insert that failed.
                diag_warn("ma insert entry failed: %s\n", "single quote in assignment");
                break;
        }
    }
    std::puts("\ncomplete");
    std::fclose(file);
}

void rebuild_vendor_database(std::span<const Registry> registries) {
    // The one read-write open of the live file: it creates the file and its
    // empty tables on a first run (kept even if the run fails later), and
    // rolls back a journal that a run of an earlier version left when it was
    // killed. Nothing is written to it after this.
    store_close(store_open_vendor(kOpenWrite));

    const char* temporary = replacement_prepare();
    sqlite3* db = store_open_path(temporary, kOpenWrite);
    store_create_vendor_tables(db);
    store_begin(db);
    store_reset_vendor_tables(db);
    for (const Registry& registry : registries) import_registry(db, registry.table);
    for (const char* digit : {"2", "6", "a", "e"}) {
        vendor_insert(db, "ma_u", digit, kPlaceholderPrivate);
    }
    store_commit(db);
    store_maintain(db);
    store_close(db);
    replacement_commit();
}
