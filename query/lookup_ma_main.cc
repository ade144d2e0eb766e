// pelorin-lookup-ma: prints the organisation that owns one hardware address,
// according to the vendor database built by pelorin-update-ma.
#include <cstdio>

#include "library_tool_options.h"
#include "vendor_db.h"

int main(int argc, char* argv[]) {
    // The operand is used exactly as typed: no case folding, no check of
    // its form.
    const auto [library, hwaddr] =
        parse_library_tool_options(argc, argv, "pelorin-lookup-ma", "hwaddr");

    library.check(kVendorBaseName, kVendorPathSlack);

    VendorDb vendor = VendorDb::open_read(library);
    char organisation[kOrganisationSize];
    vendor.lookup(hwaddr, organisation);
    std::puts(organisation);
    return 0;
}
