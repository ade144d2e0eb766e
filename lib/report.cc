#include "report.h"

#include <cstdio>
#include <cstring>

#include "diag.h"
#include "names.h"
#include "sql_text.h"

namespace {

// The columns both reports print; the organisation is resolved in the same
// statement.
#define PELORIN_REPORT_COLUMNS \
    "SELECT datetime(sec,'unixepoch','localtime'),\n" \
    "(unixepoch() - utime) / 86400,\n" \
    "iptype,ipaddr,hwaddr,\n" \
    PELORIN_ORGANISATION_OF_HWADDR

constexpr const char* kAllRowsSql =
    PELORIN_REPORT_COLUMNS
    "FROM ipmap %s\n"
    "ORDER BY sec,usec";

// Filters first, then keeps the newest first sighting of each address.
constexpr const char* kNewestRowsSql =
    PELORIN_REPORT_COLUMNS
    "FROM (\n"
    "SELECT sec,usec,utime,iptype,ipaddr,hwaddr,row_number()\n"
    "OVER (\n"
    "PARTITION BY ipaddr\n"
    "ORDER BY sec DESC,usec DESC\n"
    ") AS number\n"
    "FROM ipmap %s\n"
    ")\n"
    "WHERE number = 1\n"
    "ORDER BY sec,usec";

// Decided on single bytes only: anything outside ASCII is no digit, whatever
// the locale says.
bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A NULL column (a date beyond the database's calendar, say) is printed as
// the C library has always printed it, without handing printf a null pointer.
const char* column_text(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "(null)";
}

}  // namespace

bool has_hardware_address_form(const char* text) {
    if (std::strlen(text) != 17) return false;
    for (int i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (text[i] != ':') return false;
        } else if (!is_hex_digit(text[i])) {
            return false;
        }
    }
    return true;
}

int report_bindings(sqlite3* db, int iptype, int all_records, const char* address) {
    char clause[128] = {};
    if (address != nullptr) {
        if (std::strlen(address) > static_cast<std::size_t>(kMaxQueryAddressLength)) {
            diag_fatal("invalid query address: \"%s\"\n", address);
        }
        // The operand is typed by a user: with its quotes doubled it can only
        // ever be compared, never change the statement. Doubled, the longest
        // accepted operand still fits the clause.
        char literal[2 * kMaxQueryAddressLength + 1];
        sql_literal_body(address, literal, sizeof literal);
        if (has_hardware_address_form(address)) {
            int n = std::snprintf(clause, sizeof clause, "WHERE hwaddr = '%s'", literal);
            if (iptype != 0) {
                std::snprintf(clause + n, sizeof clause - static_cast<std::size_t>(n),
                              " AND iptype = %d\n", iptype);
            }
        } else {
            std::snprintf(clause, sizeof clause, "WHERE ipaddr = '%s'", literal);
        }
    } else if (iptype != 0) {
        std::snprintf(clause, sizeof clause, "WHERE iptype = %d", iptype);
    }

    char sql[1024];
    std::snprintf(sql, sizeof sql, all_records != 0 ? kAllRowsSql : kNewestRowsSql, clause);

    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        diag_fatal("imap query prepare failed: %s\n", sqlite3_errmsg(db));
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        char host[kHostNameSize];
        const unsigned char* ipaddr = sqlite3_column_text(stmt, 3);
        host_name_of_text(sqlite3_column_int(stmt, 2),
                          ipaddr != nullptr ? reinterpret_cast<const char*>(ipaddr) : "", host,
                          sizeof host);
        std::printf("%s %s %s %s %s %s\n", column_text(stmt, 0), column_text(stmt, 1), host,
                    column_text(stmt, 3), column_text(stmt, 4), column_text(stmt, 5));
    }
    if (sqlite3_finalize(stmt) != SQLITE_OK) {
        diag_fatal("query failed: %s\n", sqlite3_errmsg(db));
    }
    return 0;
}
