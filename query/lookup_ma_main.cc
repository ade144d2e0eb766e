// pelorin-lookup-ma: prints the organisation that owns one hardware address,
// according to the vendor database built by pelorin-update-ma.
#include <cstdio>

#include "library_tool_options.h"
#include "names.h"
#include "store.h"

int main(int argc, char* argv[]) {
    // Used exactly as typed: no case folding, no check of its form.
    const char* hwaddr = parse_library_tool_options(argc, argv, "pelorin-lookup-ma", "hwaddr");

    store_check_path(kVendorBaseName, kVendorPathSlack);

    sqlite3* db = store_open_vendor(kOpenRead);
    char organisation[kOrganisationSize];
    vendor_lookup(db, hwaddr, organisation);
    std::puts(organisation);
    store_close(db);
    return 0;
}
