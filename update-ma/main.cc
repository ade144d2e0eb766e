// pelorin-update-ma: downloads the hardware address block registries and
// rebuilds the vendor database from them.
#include "registry_list.h"
#include "update_run.h"

int main(int argc, char** argv) { return update_run(argc, argv, builtin_registries()); }
