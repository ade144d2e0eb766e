// The watcher daemon from its command line to its end: start-up in a fixed
// order (every failure up to the pid file claim is reported while still
// attached), then the capture loop.
#pragma once

#include "watcher.h"

// Returns the process's exit status; fatal errors and termination signals
// end the process from inside. limits are the built-in ones but for a
// benchmark's comparison build.
int run_daemon(int argc, char** argv, const WatcherLimits& limits = {});
