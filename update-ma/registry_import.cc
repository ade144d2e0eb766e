#include "registry_import.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "names.h"
#include "registry_parse.h"
#include "store.h"

namespace {

// The connection whose rebuild transaction is open, if any.
sqlite3* rebuilding = nullptr;

// A fatal error ends the process with the transaction open. Rolling it back
// here, rather than leaving a hot journal for the next opener, keeps the
// database readable at once by the read-only connections of the daemon and
// the lookup tools, which cannot roll a journal back themselves.
void roll_back_at_exit() {
    if (rebuilding != nullptr && sqlite3_get_autocommit(rebuilding) == 0) {
        sqlite3_exec(rebuilding, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

}  // namespace

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
    sqlite3* db = store_open_vendor(kOpenWrite);

    static bool handler_installed = false;
    if (!handler_installed) {
        std::atexit(roll_back_at_exit);
        handler_installed = true;
    }
    rebuilding = db;
    store_begin(db);
    store_reset_vendor_tables(db);
    for (const Registry& registry : registries) import_registry(db, registry.table);
    for (const char* digit : {"2", "6", "a", "e"}) {
        vendor_insert(db, "ma_u", digit, kPlaceholderPrivate);
    }
    store_commit(db);
    rebuilding = nullptr;

    store_maintain(db);
    store_close(db);
}
