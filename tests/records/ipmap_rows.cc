#include "ipmap_rows.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "store.h"
#include "test_support.h"

namespace pelorin_test {

void make_interface_db(const std::string& dir, const std::string& interface_name,
                       const std::vector<IpmapRow>& rows) {
    sqlite3* db = raw_open(dir + "/" + interface_name + ".sqlite");
    raw_exec(db, kInterfaceSchema);
    for (const auto& row : rows) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)", -1, &stmt, nullptr);
        sqlite3_bind_int(stmt, 1, row.iptype);
        sqlite3_bind_text(stmt, 2, row.ipaddr.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, row.hwaddr.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 4, row.sec);
        sqlite3_bind_int64(stmt, 5, row.usec);
        sqlite3_bind_int64(stmt, 6, row.utime);
        if (sqlite3_step(stmt) != SQLITE_DONE) ADD_FAILURE() << "insert " << row.ipaddr;
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
}

}  // namespace pelorin_test
