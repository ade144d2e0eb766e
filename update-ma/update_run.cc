#include "update_run.h"

#include "diag.h"
#include "download.h"
#include "options.h"
#include "registry_import.h"
#include "store.h"

int update_run(int argc, char** argv, std::span<const Registry> registries,
               const TransferLimits& limits) {
    parse_options(argc, argv, registries);
    // Checked with or without downloads: the longest path formed is the
    // vendor database's, and every registry path is shorter.
    store_check_path(kVendorBaseName, kVendorPathSlack);

    if (updater_settings.download != 0) {
        CURL* curl = download_setup(updater_settings.user_agent, limits);
        for (const Registry& registry : registries) {
            download_registry(curl, registry.table, registry.url);
        }
        curl_easy_cleanup(curl);
    }
    // Only with every file in place is the vendor database touched.
    rebuild_vendor_database(registries);
    return 0;
}
