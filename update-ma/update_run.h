// One run of the updater, from the command line to the exit status:
// options, path check, downloads (unless -D), then the rebuild of the
// vendor database. Fatal errors end the process from inside.
#pragma once

#include <span>

#include "registry_list.h"

// Returns 0 after a complete run. The registry list is the program's
// built-in one; tests pass their own to reach a server on loopback.
int update_run(int argc, char** argv, std::span<const Registry> registries);
