#include "library_dir.h"

#include <cstring>

#include "diag.h"

void LibraryDir::check(const char* base_name, std::size_t slack) const {
    if (std::strlen(path_) + std::strlen(base_name) + slack >= kDbPathSize) {
        diag_fatal("db_filename (%s/%s%s) exceeds maximum length of %d\n", path_, base_name,
                   kDatabaseSuffix, static_cast<int>(kDbPathSize));
    }
}

std::string LibraryDir::file(std::string_view base_name, std::string_view suffix) const {
    std::string path(path_);
    path += '/';
    path += base_name;
    path += suffix;
    return path;
}
