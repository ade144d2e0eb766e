// pelorin: watches the IP-to-hardware address bindings of one Ethernet
// interface and records them in its interface database.
#include "daemon_main.h"

int main(int argc, char** argv) { return run_daemon(argc, argv); }
