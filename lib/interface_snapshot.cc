#include "interface_snapshot.h"

#include <algorithm>
#include <unordered_map>

#include "diag.h"
#include "interface_db.h"
#include "names.h"
#include "vendor_db.h"

namespace {

// Database clock, today's local day and the first local day of the data.
constexpr const char* kClockSql =
    "SELECT unixepoch(),unixepoch(date('now','localtime'))/86400,\n"
    "(SELECT unixepoch(date(min(sec),'unixepoch','localtime'))/86400 FROM ipmap)";

constexpr const char* kSummarySql =
    "SELECT count(*) FILTER (WHERE sec > unixepoch() - 86400),\n"
    "count(*) FILTER (WHERE sec > unixepoch() - 604800),\n"
    "coalesce(max(utime),0)\n"
    "FROM ipmap";

// The row columns both lists read, in this order.
#define PELORIN_SNAPSHOT_COLUMNS "iptype,ipaddr,hwaddr,sec,utime,unixepoch() - utime,\n"

// Newest first sighting of every address; the address changed when it has
// more than one row (the daemon adds a row only for another hardware address).
constexpr const char* kCurrentSql =
    "SELECT " PELORIN_SNAPSHOT_COLUMNS "rows_of_address > 1,\n" PELORIN_ORGANISATION_OF_HWADDR
    "FROM (\n"
    "SELECT iptype,ipaddr,hwaddr,sec,usec,utime,\n"
    "row_number() OVER (PARTITION BY ipaddr ORDER BY sec DESC,usec DESC) AS number,\n"
    "count(*) OVER (PARTITION BY ipaddr) AS rows_of_address\n"
    "FROM ipmap\n"
    ")\n"
    "WHERE number = 1\n"
    "ORDER BY sec DESC,usec DESC";

// Addresses that moved (more than one distinct hardware address, seen as a
// smallest and a largest that differ), the most recently moved first. One
// pass of window functions: ipaddr alone has no index to join on.
constexpr const char* kHistorySql =
    "SELECT " PELORIN_SNAPSHOT_COLUMNS "1,\n" PELORIN_ORGANISATION_OF_HWADDR
    "FROM (\n"
    "SELECT iptype,ipaddr,hwaddr,sec,usec,utime,\n"
    "max(sec) OVER address AS latest,\n"
    "min(hwaddr) OVER address AS lowest,\n"
    "max(hwaddr) OVER address AS highest\n"
    "FROM ipmap\n"
    "WINDOW address AS (PARTITION BY ipaddr)\n"
    ")\n"
    "WHERE lowest <> highest\n"
    "ORDER BY latest DESC,ipaddr,sec,usec";

// A little more than the chart's span, so that no local day at its start is
// cut short whatever the time zone.
constexpr const char* kChangesPerDaySql =
    "SELECT unixepoch(date(sec,'unixepoch','localtime'))/86400 AS day,count(*)\n"
    "FROM ipmap WHERE sec >= unixepoch() - 92 * 86400\n"
    "GROUP BY day ORDER BY day";

Stmt prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    Stmt stmt(raw);
    if (rc != SQLITE_OK) diag_fatal("report query prepare failed: %s\n", sqlite3_errmsg(db));
    return stmt;
}

// Steps the statement to its end, handing each row to on_row, and
// finalizes it, so that nothing of it outlives the call.
template <typename OnRow>
void each_row(sqlite3* db, const char* sql, OnRow on_row) {
    Stmt stmt = prepare(db, sql);
    int rc = 0;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) on_row(stmt.get());
    if (rc != SQLITE_DONE) diag_fatal("report query failed: %s\n", sqlite3_errmsg(db));
}

std::string column_string(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void read_rows(sqlite3* db, const char* sql, std::vector<SnapshotRow>& rows) {
    each_row(db, sql, [&rows](sqlite3_stmt* stmt) {
        SnapshotRow row;
        row.iptype = sqlite3_column_int(stmt, 0);
        row.ipaddr = column_string(stmt, 1);
        row.hwaddr = column_string(stmt, 2);
        row.sec = sqlite3_column_int64(stmt, 3);
        row.utime = sqlite3_column_int64(stmt, 4);
        row.age = sqlite3_column_int64(stmt, 5);
        row.changed = sqlite3_column_int(stmt, 6) != 0;
        row.organisation = column_string(stmt, 7);
        rows.push_back(std::move(row));
    });
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        diag_fatal("report query failed: %s\n", sqlite3_errmsg(db));
    }
}

}  // namespace

InterfaceSnapshot InterfaceDb::snapshot(const std::string& interface_name) {
    sqlite3* db = db_.get();
    InterfaceSnapshot snapshot;
    snapshot.name = interface_name;

    // One read transaction: every list and count describes the same moment,
    // whatever the daemon writes meanwhile.
    exec(db, "BEGIN");
    std::int64_t today = 0, data_first_day = 0;
    bool has_rows = false;
    each_row(db, kClockSql, [&](sqlite3_stmt* stmt) {
        snapshot.now = sqlite3_column_int64(stmt, 0);
        today = sqlite3_column_int64(stmt, 1);
        has_rows = sqlite3_column_type(stmt, 2) != SQLITE_NULL;
        data_first_day = sqlite3_column_int64(stmt, 2);
    });
    each_row(db, kSummarySql, [&](sqlite3_stmt* stmt) {
        snapshot.changes_day = sqlite3_column_int64(stmt, 0);
        snapshot.changes_week = sqlite3_column_int64(stmt, 1);
        snapshot.newest_sighting = sqlite3_column_int64(stmt, 2);
    });
    read_rows(db, kCurrentSql, snapshot.current);
    read_rows(db, kHistorySql, snapshot.history);
    if (has_rows) {
        snapshot.first_day = std::max(data_first_day, today - (kChartDays - 1));
        if (snapshot.first_day <= today) {
            snapshot.changes_per_day.assign(
                static_cast<std::size_t>(today - snapshot.first_day + 1), 0);
        }
        each_row(db, kChangesPerDaySql, [&](sqlite3_stmt* stmt) {
            const std::int64_t day = sqlite3_column_int64(stmt, 0);
            // First sightings dated in the future (a clock set back) are
            // left out rather than stretching the chart.
            if (day < snapshot.first_day || day > today) return;
            snapshot.changes_per_day[static_cast<std::size_t>(day - snapshot.first_day)] =
                sqlite3_column_int64(stmt, 1);
        });
    }
    exec(db, "COMMIT");
    return snapshot;
}

void resolve_host_names(InterfaceSnapshot& snapshot) {
    std::unordered_map<std::string, std::string> names;
    auto resolve = [&names](SnapshotRow& row) {
        auto [entry, fresh] = names.try_emplace(std::to_string(row.iptype) + " " + row.ipaddr);
        if (fresh) {
            char host[kHostNameSize];
            host_name_of_text(row.iptype, row.ipaddr.c_str(), host, sizeof host);
            entry->second = host;
        }
        row.host = entry->second;
    };
    for (SnapshotRow& row : snapshot.current) resolve(row);
    for (SnapshotRow& row : snapshot.history) resolve(row);
}
