// One run of the updater, from the command line to the exit status:
// options, path check, downloads (unless -D), then the rebuild of the
// vendor database. Fatal errors end the process from inside.
#pragma once

#include <span>

#include "download.h"
#include "registry_list.h"

// Returns 0 after a complete run. The registry list and the transfer limits
// are the program's built-in ones; tests pass their own to reach a server
// on loopback and to give up on a stalled one sooner.
int update_run(int argc, char** argv, std::span<const Registry> registries,
               const TransferLimits& limits = kTransferLimits);
