// pelorin-query: prints the bindings the daemon recorded for one interface,
// the newest per IP address or all of them, optionally narrowed to one IP
// address, one hardware address or one address family.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "interface_db.h"
#include "report.h"

namespace {

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr, "  %s [-h] [-a] [-4 | -6] [-L dir] ifname [ipaddr | hwaddr]\n", program);
    std::fprintf(stderr, "  options:\n");
    std::fprintf(stderr, "    -h display usage\n");
    std::fprintf(stderr, "    -a select all records instead of just the last one\n");
    std::fprintf(stderr, "    -4 select IPv4 records only\n");
    std::fprintf(stderr, "    -6 select IPv6 records only\n");
    std::fprintf(stderr, "    -L directory for library files (default: %s)\n",
                 kDefaultLibraryDirectory);
    std::exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "pelorin-query";

    int iptype = 0;
    int all_records = 0;
    LibraryDir library;
    // "+": parsing stops at the first operand, so an option written after
    // the interface name is taken as an operand, as on BSD.
    int option = 0;
    while ((option = getopt(argc, argv, "+ha46L:")) != -1) {
        switch (option) {
            case 'a':
                all_records = 1;
                break;
            case '4':
                iptype = 4;
                break;
            case '6':
                iptype = 6;
                break;
            case 'L':
                library = LibraryDir(optarg);
                break;
            default:
                usage(program);
        }
    }
    const int operands = argc - optind;
    if (operands < 1 || operands > 2) usage(program);
    const char* interface_name = argv[optind];
    const char* address = operands == 2 ? argv[optind + 1] : nullptr;

    // The interface database first, so a run where both are too long names it.
    library.check(interface_name, kInterfacePathSlack);
    library.check(kVendorBaseName, kVendorPathSlack);

    InterfaceDb db(library, interface_name, OpenMode::read);
    db.attach_vendor(library);
    report_bindings(db, iptype, all_records, address);
    return 0;
}
