// The updater's command line: the settings its options give, and the usage
// text that -h or a bad option prints before exit 1.
#pragma once

#include <span>

#include "library_dir.h"
#include "registry_list.h"

struct UpdaterSettings {
    LibraryDir library;
    // Non-zero while the registries are to be downloaded; -D clears it.
    int download = 1;
    // -U, or the default built into the program.
    const char* user_agent = nullptr;
    // argv[0] as given, for the usage synopsis.
    const char* program_path = "pelorin-update-ma";
};

// The settings and use_syslog from argv. Parsing stops at the first
// operand; operands are ignored. Prints the usage text and exits 1 on -h or
// a bad option.
UpdaterSettings parse_options(int argc, char** argv, std::span<const Registry> registries);

// The usage text shows the registry list with the settings given so far.
[[noreturn]] void usage(const UpdaterSettings& settings, std::span<const Registry> registries);
