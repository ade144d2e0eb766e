// pelorin without its in-memory bindings: every sighting is decided from
// the database. Built only for the live benchmark's comparison.
#include "daemon_main.h"

int main(int argc, char** argv) {
    WatcherLimits limits;
    limits.cached_bindings = 0;
    return run_daemon(argc, argv, limits);
}
