// pelorin-lookup-ma: prints the organisation that owns one hardware address,
// according to the vendor database built by pelorin-update-ma.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "names.h"
#include "store.h"

namespace {

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr, "  %s [-h] [-L dir] hwaddr\n", program);
    std::fprintf(stderr, "  options:\n");
    std::fprintf(stderr, "    -h display usage\n");
    std::fprintf(stderr, "    -L directory for library files (default: %s)\n",
                 kDefaultLibraryDirectory);
    std::exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "pelorin-lookup-ma";

    // "+": parsing stops at the operand, as on BSD.
    int option = 0;
    while ((option = getopt(argc, argv, "+hL:")) != -1) {
        switch (option) {
            case 'L':
                library_directory = optarg;
                break;
            default:
                usage(program);
        }
    }
    if (argc - optind != 1) usage(program);
    // Used exactly as typed: no case folding, no check of its form.
    const char* hwaddr = argv[optind];

    store_check_path(kVendorBaseName, kVendorPathSlack);

    sqlite3* db = store_open_vendor(kOpenRead);
    char organisation[kOrganisationSize];
    vendor_lookup(db, hwaddr, organisation);
    std::puts(organisation);
    store_close(db);
    return 0;
}
