// Builds interface databases for the record and query tests directly, in
// the table layout the daemon writes, so every row's times can be chosen.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace pelorin_test {

struct IpmapRow {
    int iptype;
    std::string ipaddr, hwaddr;
    std::int64_t sec, usec, utime;
};

// Creates dir/<interface>.sqlite with the interface schema and the rows.
void make_interface_db(const std::string& dir, const std::string& interface_name,
                       const std::vector<IpmapRow>& rows);

// A utime that is `days` whole days old and half a day away from the next
// day boundary, so the printed age cannot change while a test runs.
inline std::int64_t days_ago(int days) {
    return static_cast<std::int64_t>(std::time(nullptr)) - days * 86400 - 43200;
}

}  // namespace pelorin_test
