#include "library_tool_options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>


namespace {

[[noreturn]] void usage(const char* program, const char* operand_name) {
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr, "  %s [-h] [-L dir] %s\n", program, operand_name);
    std::fprintf(stderr, "  options:\n");
    std::fprintf(stderr, "    -h display usage\n");
    std::fprintf(stderr, "    -L directory for library files (default: %s)\n",
                 kDefaultLibraryDirectory);
    std::exit(1);
}

}  // namespace

LibraryToolOptions parse_library_tool_options(int argc, char* argv[], const char* fallback_program,
                                              const char* operand_name) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : fallback_program;
    // "+": stop at the first operand, as on BSD.
    LibraryDir library;
    int option = 0;
    while ((option = getopt(argc, argv, "+hL:")) != -1) {
        if (option != 'L') usage(program, operand_name);
        library = LibraryDir(optarg);
    }
    if (argc - optind != 1) usage(program, operand_name);
    return {library, argv[optind]};
}
