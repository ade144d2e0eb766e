// The tracker's three outcomes (record, refresh, nothing), the refresh age
// boundary measured on the database clock, and the expiry schedule and
// cut-off, including retentions too long to express as a cut-off.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>

#include "daemon_test_util.h"
#include "settings.h"
#include "watcher.h"

using namespace daemon_test;
using pelorin_test::raw_exec;
using pelorin_test::raw_query;

namespace {

Captured arp_from(const Mac& mac, std::int64_t sec, std::int64_t usec = 0) {
    ArpFields f;
    f.source = f.sender_mac = mac;
    return {arp_frame(f), sec, usec};
}

// Waits for the start of a fresh second, so that statements issued right
// after see the same unixepoch().
void align_to_second() {
    timeval now{};
    do {
        usleep(10'000);
        gettimeofday(&now, nullptr);
    } while (now.tv_usec > 200'000);
}

}  // namespace

TEST(Tracker, FirstSightingChangeAndChangeBackEachAddARowAndAnnounceIt) {
    Library lib;
    const auto result = as_daemon(lib, [](sqlite3* db) {
        feed(arp_from(kMacA, 1'800'000'000, 5));
        feed(arp_from(kMacA, 1'800'000'010));  // same address: nothing
        feed(arp_from(kMacB, 1'800'000'020, 6));
        feed(arp_from(kMacA, 1'800'000'030, 7));
    });
    EXPECT_EQ(result.exit_status, 0);
    // The first row keeps its utime: a superseded row is never refreshed.
    EXPECT_EQ(lib.rows(),
              "4|169.254.1.1|00:11:22:33:44:55|1800000000|5|1800000000\n"
              "4|169.254.1.1|00:aa:bb:cc:dd:ee|1800000020|6|1800000020\n"
              "4|169.254.1.1|00:11:22:33:44:55|1800000030|7|1800000030");
    EXPECT_EQ(result.err,
              "IP address 169.254.1.1 changed from (none) to 00:11:22:33:44:55\n"
              "IP address 169.254.1.1 changed from 00:11:22:33:44:55 to 00:aa:bb:cc:dd:ee\n"
              "IP address 169.254.1.1 changed from 00:aa:bb:cc:dd:ee to 00:11:22:33:44:55\n");
}

// Another process commits between two frames of one batch, before the
// batch has written anything: the later frame that writes is decided from
// the database under the write lock, not from the copy in memory.
TEST(Tracker, CommitBetweenTwoFramesOfABatchDecidesTheLaterFrameFromTheFile) {
    constexpr Mac kMacC = {0x00, 0x33, 0x44, 0x55, 0x66, 0x77};
    const struct {
        const char* name;
        Mac later;
        const char* announced;  // after the first sighting's
    } cases[] = {
        {"another change names the address the file holds", kMacC,
         "IP address 169.254.1.1 changed from 00:aa:bb:cc:dd:ee to 00:33:44:55:66:77\n"},
        {"what the file holds already is no change", kMacB, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Library lib;
        const auto result = as_daemon(lib, [&](sqlite3* db) {
            feed(arp_from(kMacA, 1'800'000'000));
            // One batch: a repeat answered from memory, the other commit,
            // then the frame that would write.
            handle(arp_from(kMacA, 1'800'000'010));
            sqlite3* other = pelorin_test::raw_open(lib.db_path());
            raw_exec(other, "INSERT INTO ipmap VALUES "
                            "(4,'169.254.1.1','00:aa:bb:cc:dd:ee',1800000005,0,1800000005)");
            sqlite3_close(other);
            handle(arp_from(c.later, 1'800'000'010, 1000));
            watcher().end_batch();
        });
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err,
                  "IP address 169.254.1.1 changed from (none) to 00:11:22:33:44:55\n" +
                      std::string(c.announced));
        EXPECT_EQ(pelorin_test::raw_query(lib.db_path(), "SELECT count(*) FROM ipmap"),
                  c.announced[0] != '\0' ? "3" : "2");
    }
}

TEST(Tracker, RefreshesOnlyFromAnAgeOfEightHoursOnTheDatabaseClock) {
    for (const int age : {28799, 28800}) {
        SCOPED_TRACE(age);
        Library lib;
        const auto result = as_daemon(lib, [age](sqlite3* db) {
            align_to_second();
            raw_exec(db, "INSERT INTO ipmap VALUES (4,'169.254.1.1','00:11:22:33:44:55',5,0,"
                         "unixepoch() - " + std::to_string(age) + ")");
            feed(arp_from(kMacA, 1'700'000'000));
            std::printf("%s", raw_query(db, "SELECT unixepoch() - utime FROM ipmap").c_str());
        });
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");  // a repeated sighting is never announced
        EXPECT_EQ(pelorin_test::raw_query(lib.db_path(), "SELECT count(*), sec FROM ipmap"), "1|5");
        const std::string utime =
            pelorin_test::raw_query(lib.db_path(), "SELECT utime FROM ipmap");
        if (age == 28800) {
            EXPECT_EQ(utime, "1700000000");
        } else {
            EXPECT_EQ(result.out, "28799");  // untouched
        }
    }
}

TEST(Tracker, RowAheadOfTheDatabaseClockIsNotRefreshed) {
    Library lib;
    const auto result = as_daemon(lib, [](sqlite3* db) {
        raw_exec(db, "INSERT INTO ipmap VALUES (6,'fe80::1','00:11:22:33:44:55',5,0,"
                     "unixepoch() + 100000)");
        NdFields f;
        feed({nd_frame(f), 1'700'000'000});
        std::printf("%s", raw_query(db, "SELECT utime - unixepoch() FROM ipmap").c_str());
    });
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == "100000" || result.out == "99999") << result.out;
}

TEST(Tracker, ExpiryRunsAtStartThenEveryEightHoursOfCaptureTime) {
    constexpr std::int64_t S = 1'800'000'000;
    Library lib;
    const auto result = as_daemon(lib, [](sqlite3* db) {
        auto plant = [db](const char* ip, std::int64_t utime) {
            raw_exec(db, "INSERT INTO ipmap VALUES (4,'" + std::string(ip) +
                             "','00:11:22:33:44:55',0,0," + std::to_string(utime) + ")");
        };
        auto remaining = [db](const char* label) {
            std::printf("%s:%s;", label,
                        raw_query(db, "SELECT group_concat(ipaddr) FROM ipmap "
                                      "WHERE ipaddr LIKE '10.%'").c_str());
        };
        // The cut-off includes its boundary: S minus 30 days goes, one
        // second younger stays.
        plant("10.0.0.1", S - 2'592'000);
        plant("10.0.0.2", S - 2'591'999);
        feed(arp_from(kMacA, S));
        remaining("first");
        std::printf("next=%lld;", static_cast<long long>(watcher().next_expiry()));
        plant("10.0.0.3", 0);
        feed(arp_from(kMacA, S + 28'799));
        remaining("S+28799");
        feed(arp_from(kMacA, S + 28'800));
        remaining("S+28800");
        plant("10.0.0.4", 0);
        feed(arp_from(kMacA, S + 100));  // the capture clock went back
        remaining("back");
        feed(arp_from(kMacA, S + 28'800 + 28'799));
        remaining("before");
        feed(arp_from(kMacA, S + 28'800 + 28'800));
        remaining("due");
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out,
              "first:10.0.0.2;next=1800028800;S+28799:10.0.0.2,10.0.0.3;S+28800:NULL;"
              "back:10.0.0.4;before:10.0.0.4;due:NULL;");
}

TEST(Tracker, ExpiryCutoffNeverWraps) {
    std::int64_t cutoff = 0;
    EXPECT_TRUE(expiry_cutoff(1'800'000'000, 30, &cutoff));
    EXPECT_EQ(cutoff, 1'800'000'000 - 2'592'000);
    EXPECT_TRUE(expiry_cutoff(0, 1, &cutoff));
    EXPECT_EQ(cutoff, -86'400);
    // days * 86400 beyond 64 bits, and the subtraction beyond 64 bits.
    EXPECT_FALSE(expiry_cutoff(1'800'000'000, INT64_MAX, &cutoff));
    EXPECT_FALSE(expiry_cutoff(1'800'000'000, INT64_MAX / 86'400 + 1, &cutoff));
    EXPECT_FALSE(expiry_cutoff(INT64_MIN + 10, 1, &cutoff));
    EXPECT_TRUE(expiry_cutoff(INT64_MAX, INT64_MAX / 86'400, &cutoff));
}

TEST(Tracker, HugeRetentionDeletesNothingAndExtremeClocksAreSafe) {
    Library lib;
    const auto result = as_daemon(lib, [](sqlite3* db) {
        // What -O 99999999999999999999 leaves after the saturating conversion.
        daemon_settings().retention_days = INT64_MAX;
        raw_exec(db, "INSERT INTO ipmap VALUES (4,'10.0.0.1','00:11:22:33:44:55',0,0,"
                     "1800000000)");
        raw_exec(db, "INSERT INTO ipmap VALUES (4,'10.0.0.2','00:11:22:33:44:55',0,0,0)");
        feed(arp_from(kMacA, 1'800'000'000));
        daemon_settings().retention_days = 30;
        feed(arp_from(kMacA, INT64_MAX));  // schedules no pass beyond the range
        std::printf("next=%lld", static_cast<long long>(watcher().next_expiry()));
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "next=9223372036854775807");
    // The second frame's pass (cut-off far in the future) deleted everything
    // only after the first, with the huge retention, had kept it all.
    EXPECT_EQ(lib.rows(), "");
}

TEST(Tracker, HugeRetentionKeepsEveryRow) {
    Library lib;
    const auto result = as_daemon(lib, [](sqlite3* db) {
        daemon_settings().retention_days = INT64_MAX / 86'400 + 1;
        raw_exec(db, "INSERT INTO ipmap VALUES (4,'10.0.0.1','00:11:22:33:44:55',0,0,"
                     "1800000000)");
        raw_exec(db, "INSERT INTO ipmap VALUES (4,'10.0.0.2','00:11:22:33:44:55',0,0,0)");
        feed(arp_from(kMacA, 1'800'000'000));
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(pelorin_test::raw_query(lib.db_path(),
                                      "SELECT group_concat(ipaddr) FROM ipmap WHERE ipaddr LIKE '10.%'"),
              "10.0.0.1,10.0.0.2");
}
