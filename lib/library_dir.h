// The library directory, where every database file of the suite lives: the
// paths formed from it, and the length check every program makes before it
// opens anything. A value, set by each program's -L option and handed down.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr const char* kDefaultLibraryDirectory = "/var/db/pelorin";

// Size of every database path buffer the programs have always used,
// terminator included; no path they form may reach it.
constexpr std::size_t kDbPathSize = 1024;

// What each program's path check adds to the two lengths it tests.
// Interface database: directory + interface name + 10 must stay below 1024.
constexpr std::size_t kInterfacePathSlack = 10;
// Vendor database: directory + "ma_db" + 11 (that is, directory + 16).
constexpr std::size_t kVendorPathSlack = 11;

constexpr const char* kVendorBaseName = "ma_db";
constexpr const char* kDatabaseSuffix = ".sqlite";

class LibraryDir {
   public:
    // REQUIRES: path outlives this value (it is an argument of the process).
    explicit LibraryDir(const char* path = kDefaultLibraryDirectory) : path_(path) {}

    const char* path() const { return path_; }

    // Ends the process with "db_filename (%s/%s%s) exceeds maximum length
    // of %d\n" when strlen(path) + strlen(base_name) + slack >= 1024.
    void check(const char* base_name, std::size_t slack) const;

    // "<path>/<base_name><suffix>", used exactly as given.
    std::string file(std::string_view base_name,
                     std::string_view suffix = kDatabaseSuffix) const;

   private:
    const char* path_;
};
