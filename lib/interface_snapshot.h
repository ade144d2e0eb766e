// What the report shows of one interface database, read in one read
// transaction and held in memory, so that no statement and no lock is left
// on the database while host names are resolved and pages are written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SnapshotRow {
    int iptype = 0;
    std::string ipaddr, hwaddr, organisation;
    std::int64_t sec = 0;    // first sighting
    std::int64_t utime = 0;  // last sighting
    std::int64_t age = 0;    // database clock minus utime, in seconds
    bool changed = false;    // the address had another hardware address before
    std::string host;        // filled after the database is left
};

struct InterfaceSnapshot {
    std::string name;
    std::int64_t now = 0;  // database clock when read
    std::int64_t changes_day = 0, changes_week = 0;
    std::int64_t newest_sighting = 0;  // 0 when the table is empty
    // Current binding of every address, newest first sighting first.
    std::vector<SnapshotRow> current;
    // Every row of every address that has had more than one hardware
    // address, grouped by address, oldest first sighting first.
    std::vector<SnapshotRow> history;
    // Changes (rows, by the local day of their first sighting) per day,
    // from first_day (days since 1970-01-01 of the local calendar) to today.
    std::int64_t first_day = 0;
    std::vector<std::int64_t> changes_per_day;
};

// Longest span of the chart of changes per day, today included.
constexpr int kChartDays = 90;

// Read by InterfaceDb::snapshot.

// Resolves the host name of every row, once per address, with the rules of
// the record report.
void resolve_host_names(InterfaceSnapshot& snapshot);
