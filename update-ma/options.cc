#include "options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diag.h"

void usage(const UpdaterSettings& settings, std::span<const Registry> registries) {
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr, "  %s [-h] [-D] [-L dir]\n", settings.program_path);
    std::fprintf(stderr, "  options:\n");
    std::fprintf(stderr, "    -h display usage\n");
    std::fprintf(stderr, "    -s log errors via syslog\n");
    std::fprintf(stderr, "    -D skip download of the mac address csv files\n");
    std::fprintf(stderr, "    -L directory for library files (default: %s)\n",
                 kDefaultLibraryDirectory);
    std::fprintf(stderr, "    -U user agent for http (default: %s)\n", settings.user_agent);
    std::fprintf(stderr, "  \nNotes:\n");
    std::fprintf(stderr,
                 "    This program automatically downloads the MAC address assignment files\n");
    std::fprintf(stderr,
                 "    from IEEE using curl and saves them in the library directory. If you\n");
    std::fprintf(stderr,
                 "    prefer to download the files manually, place the files in the library\n");
    std::fprintf(stderr,
                 "    directory as shown below, then use the -D option to skip the download.\n\n");
    for (const Registry& registry : registries) {
        std::fprintf(stderr, "    %-47s -> %s/%s%s\n", registry.url, settings.library.path(),
                     registry.table, ".csv");
    }
    std::exit(1);
}

UpdaterSettings parse_options(int argc, char** argv, std::span<const Registry> registries) {
    UpdaterSettings settings;
    settings.user_agent = PELORIN_USER_AGENT;
    if (argc > 0 && argv[0] != nullptr) settings.program_path = argv[0];
    // "+": stop at the first operand instead of hunting for options behind it.
    int option;
    while ((option = getopt(argc, argv, "+hsDL:U:")) != -1) {
        switch (option) {
            case 's':
                use_syslog = 1;
                break;
            case 'D':
                settings.download = 0;
                break;
            case 'L':
                settings.library = LibraryDir(optarg);
                break;
            case 'U':
                settings.user_agent = optarg;
                break;
            default:  // -h, an unknown option or a missing argument
                usage(settings, registries);
        }
    }
    return settings;
}
