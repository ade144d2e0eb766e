// The updater's command line: the process-wide settings its options write
// once, and the usage text that -h or a bad option prints before exit 1.
#pragma once

#include <span>

#include "registry_list.h"

struct UpdaterSettings {
    // Non-zero while the registries are to be downloaded; -D clears it.
    int download;
    const char* user_agent;
    // argv[0] as given, for the usage synopsis.
    const char* program_path;
};

extern UpdaterSettings updater_settings;

// Sets updater_settings, library_directory and use_syslog from argv. Parsing
// stops at the first operand; operands are ignored. Prints the usage text
// and exits 1 on -h or a bad option.
void parse_options(int argc, char** argv, std::span<const Registry> registries);

// The usage text shows the registry list with the current settings.
[[noreturn]] void usage(std::span<const Registry> registries);
