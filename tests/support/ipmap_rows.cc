#include "ipmap_rows.h"

#include <gtest/gtest.h>

#include "interface_db.h"
#include "test_support.h"

namespace pelorin_test {

void make_interface_db(const std::string& dir, const std::string& interface_name,
                       const std::vector<IpmapRow>& rows) {
    const Db db(raw_open(dir + "/" + interface_name + ".sqlite"));
    raw_exec(db.get(), kInterfaceSchema);
    Stmt insert;
    for (const auto& row : rows) {
        sqlite3_stmt* stmt =
            kept_statement(db.get(), insert, "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)");
        const StmtReset reset(stmt);
        sqlite3_bind_int(stmt, 1, row.iptype);
        bind_text(stmt, 2, row.ipaddr);
        bind_text(stmt, 3, row.hwaddr);
        sqlite3_bind_int64(stmt, 4, row.sec);
        sqlite3_bind_int64(stmt, 5, row.usec);
        sqlite3_bind_int64(stmt, 6, row.utime);
        if (sqlite3_step(stmt) != SQLITE_DONE) ADD_FAILURE() << "insert " << row.ipaddr;
    }
}

}  // namespace pelorin_test
