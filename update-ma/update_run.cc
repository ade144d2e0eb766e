#include "update_run.h"

#include "diag.h"
#include "download.h"
#include "options.h"
#include "registry_import.h"

int update_run(int argc, char** argv, std::span<const Registry> registries,
               const TransferLimits& limits) {
    const UpdaterSettings settings = parse_options(argc, argv, registries);
    // Checked with or without downloads: the longest path formed is the
    // vendor database's, and every registry path is shorter.
    settings.library.check(kVendorBaseName, kVendorPathSlack);

    if (settings.download != 0) {
        Downloader downloader(settings.user_agent, limits);
        for (const Registry& registry : registries) {
            downloader.fetch(settings.library, registry.table, registry.url);
        }
    }
    // Only with every file in place is the vendor database touched.
    rebuild_vendor_database(settings.library, registries);
    return 0;
}
