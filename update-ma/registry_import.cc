#include "registry_import.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <memory>
#include <string>

#include "diag.h"
#include "names.h"
#include "registry_parse.h"
#include "vendor_replace.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

void import_registry(VendorDb& vendor, const LibraryDir& library, const char* table) {
    const std::string path = library.file(table, ".csv");
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    if (file == nullptr) diag_fatal("failed to open %s: %s\n", path.c_str(), std::strerror(errno));
    std::printf("Updating %s database\n", table);

    // A line longer than the buffer arrives in pieces, each parsed alone.
    char line[1024];
    RegistryRow row;
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        switch (parse_registry_line(std::string_view(line, std::strlen(line)), row)) {
            case RegistryLine::skipped:
                break;
            case RegistryLine::accepted:
                vendor.insert(table, row.prefix, row.organisation);
                break;
            case RegistryLine::bad_assignment: {
                char assignment[sizeof line];
                const std::size_t n = row.assignment.size();
                std::memcpy(assignment, row.assignment.data(), n);
                assignment[n] = '\0';
                diag_fatal("unexpected assignment value: %s\n", assignment);
            }
        }
    }
    std::puts("\ncomplete");
}

void rebuild_vendor_database(const LibraryDir& library, std::span<const Registry> registries) {
    // The one read-write open of the live file: it creates the file and its
    // empty tables on a first run (kept even if the run fails later), and
    // rolls back a journal that a run of an earlier version left when it was
    // killed. Nothing is written to it after this.
    VendorDb::open_write(library.file(kVendorBaseName).c_str());

    const char* temporary = replacement_prepare(library);
    {
        VendorDb vendor = VendorDb::open_write(temporary);
        vendor.begin();
        vendor.reset_tables();
        for (const Registry& registry : registries) import_registry(vendor, library, registry.table);
        for (const char* digit : {"2", "6", "a", "e"}) {
            vendor.insert("ma_u", digit, kPlaceholderPrivate);
        }
        vendor.commit();
        vendor.maintain();
    }
    replacement_commit(library);
}
