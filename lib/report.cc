#include "report.h"

#include <cstdio>
#include <cstring>

#include "diag.h"
#include "names.h"
#include "vendor_db.h"

namespace {

// The columns both reports print; the organisation is resolved in the same
// statement.
#define PELORIN_REPORT_COLUMNS \
    "SELECT datetime(sec,'unixepoch','localtime'),\n" \
    "(unixepoch() - utime) / 86400,\n" \
    "iptype,ipaddr,hwaddr,\n" \
    PELORIN_ORGANISATION_OF_HWADDR

#define PELORIN_ALL_ROWS(where) PELORIN_REPORT_COLUMNS "FROM ipmap " where "\nORDER BY sec,usec"

// Filters first, then keeps the newest first sighting of each address.
#define PELORIN_NEWEST_ROWS(where) \
    PELORIN_REPORT_COLUMNS \
    "FROM (\n" \
    "SELECT sec,usec,utime,iptype,ipaddr,hwaddr,row_number()\n" \
    "OVER (\n" \
    "PARTITION BY ipaddr\n" \
    "ORDER BY sec DESC,usec DESC\n" \
    ") AS number\n" \
    "FROM ipmap " where "\n" \
    ")\n" \
    "WHERE number = 1\n" \
    "ORDER BY sec,usec"

// Every narrowing the report knows, each a fixed text: the address is
// parameter 1 and the family parameter 2, always bound.
enum Narrowing { kNone, kFamily, kIpAddress, kHardwareAddress, kHardwareAddressAndFamily };
#define PELORIN_REPORT_STATEMENTS(form) \
    {form(""), form("WHERE iptype = ?2"), form("WHERE ipaddr = ?1"), form("WHERE hwaddr = ?1"), \
     form("WHERE hwaddr = ?1 AND iptype = ?2")}
constexpr const char* kNewestRowsSql[] = PELORIN_REPORT_STATEMENTS(PELORIN_NEWEST_ROWS);
constexpr const char* kAllRowsSql[] = PELORIN_REPORT_STATEMENTS(PELORIN_ALL_ROWS);

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

void InterfaceDb::report_rows(const ReportFilter& filter,
                              const std::function<void(const ReportRow&)>& on_row) {
    Narrowing narrowing = kNone;
    const char* address = nullptr;
    if (filter.hwaddr != nullptr) {
        narrowing = filter.iptype != 0 ? kHardwareAddressAndFamily : kHardwareAddress;
        address = filter.hwaddr;
    } else if (filter.ipaddr != nullptr) {
        narrowing = kIpAddress;
        address = filter.ipaddr;
    } else if (filter.iptype != 0) {
        narrowing = kFamily;
    }
    sqlite3* db = db_.get();
    const char* sql = filter.all_records ? kAllRowsSql[narrowing] : kNewestRowsSql[narrowing];
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        diag_fatal("imap query prepare failed: %s\n", sqlite3_errmsg(db));
    }
    const Stmt stmt(raw);
    if ((address != nullptr && bind_text(raw, 1, address) != SQLITE_OK) ||
        (filter.iptype != 0 && narrowing != kIpAddress &&
         sqlite3_bind_int(raw, 2, filter.iptype) != SQLITE_OK)) {
        diag_fatal("imap query prepare failed: %s\n", sqlite3_errmsg(db));
    }
    int rc = 0;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        on_row({column_text(raw, 0), column_text(raw, 1), sqlite3_column_int(raw, 2),
                column_text(raw, 3), column_text(raw, 4), column_text(raw, 5)});
    }
    if (rc != SQLITE_DONE) diag_fatal("query failed: %s\n", sqlite3_errmsg(db));
}

void report_bindings(InterfaceDb& db, int iptype, int all_records, const char* address) {
    ReportFilter filter;
    filter.iptype = iptype;
    filter.all_records = all_records != 0;
    if (address != nullptr) {
        if (std::strlen(address) > static_cast<std::size_t>(kMaxQueryAddressLength)) {
            diag_fatal("invalid query address: \"%s\"\n", address);
        }
        (has_hardware_address_form(address) ? filter.hwaddr : filter.ipaddr) = address;
    }
    db.report_rows(filter, [](const ReportRow& row) {
        char host[kHostNameSize];
        host_name_of_text(row.iptype, row.ipaddr, host, sizeof host);
        std::printf("%s %s %s %s %s %s\n", row.first_seen, row.age_days, host, row.ipaddr,
                    row.hwaddr, row.organisation);
    });
}
