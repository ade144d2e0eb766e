// The three block registries the updater fetches and imports, in the order
// they are processed: the vendor table each one feeds (also the base name of
// its local CSV file) and the address it is downloaded from.
#pragma once

#include <span>

struct Registry {
    const char* table;
    const char* url;
};

// The list built into the program; the download server is fixed at build
// time and cannot be changed at run time.
std::span<const Registry> builtin_registries();
