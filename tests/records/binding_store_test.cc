// The binding statements against real interface databases: what a row holds
// after each of them, and which row counts as an address's current binding.
#include <gtest/gtest.h>

#include "interface_db.h"
#include "test_support.h"

namespace pelorin_test {
namespace {

class BindingStoreTest : public ::testing::Test {
   protected:
    std::string rows() {
        return raw_query(db_.raw(),
                         "SELECT iptype,ipaddr,hwaddr,sec,usec,utime FROM ipmap ORDER BY rowid");
    }
    std::int64_t rowid_of(const std::string& hwaddr) {
        return std::stoll(
            raw_query(db_.raw(), "SELECT rowid FROM ipmap WHERE hwaddr = '" + hwaddr + "'"));
    }

    ScratchDir scratch_;
    LibraryDir library_{scratch_.path().c_str()};
    InterfaceDb db_{library_, "eth0", OpenMode::write};
};

TEST_F(BindingStoreTest, InsertKeepsCaptureSecondsAsSecAndUtime) {
    db_.insert(4, "192.0.2.1", "00:11:22:33:44:55", 1700000000, 123456);
    db_.insert(6, "2001:db8::1", "00:11:22:33:44:66", 4102444800, 999999);
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:11:22:33:44:55|1700000000|123456|1700000000\n"
              "6|2001:db8::1|00:11:22:33:44:66|4102444800|999999|4102444800");
}

TEST_F(BindingStoreTest, TouchChangesOnlyUtimeOfThatRowAndIgnoresVanishedRows) {
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", 100, 1);
    db_.insert(4, "192.0.2.2", "00:00:00:00:00:02", 200, 2);
    db_.touch(rowid_of("00:00:00:00:00:02"), 5000);
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:00:00:00:00:01|100|1|100\n"
              "4|192.0.2.2|00:00:00:00:00:02|200|2|5000");

    // A row that is gone is no failure: nothing to change.
    EXPECT_TRUE(db_.touch(999999, 7000));
    EXPECT_EQ(db_.changes(), 0);
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:00:00:00:00:01|100|1|100\n"
              "4|192.0.2.2|00:00:00:00:00:02|200|2|5000");
}

TEST_F(BindingStoreTest, ExpireDeletesRowsAtTheCutoffAndKeepsLaterOnes) {
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", 999, 0);
    db_.insert(6, "2001:db8::1", "00:00:00:00:00:02", 1000, 0);
    db_.insert(4, "192.0.2.3", "00:00:00:00:00:03", 1001, 0);
    db_.insert(6, "2001:db8::4", "00:00:00:00:00:04", 50, 0);
    db_.touch(rowid_of("00:00:00:00:00:04"), 1001);
    db_.expire(1000);
    EXPECT_EQ(raw_query(db_.raw(), "SELECT hwaddr FROM ipmap ORDER BY rowid"),
              "00:00:00:00:00:03\n00:00:00:00:00:04");
}

// The caller reports a failed insert or touch; expire warns itself.
TEST_F(BindingStoreTest, WriteFailuresReturnFalseAndTellWhy) {
    raw_exec(db_.raw(), "DROP TABLE ipmap");
    const ChildResult r = run_in_child([&] {
        if (db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", 1, 0)) std::exit(2);
        std::fprintf(stderr, "%s\n", db_.error_message());
        if (db_.touch(1, 2)) std::exit(3);
        std::fprintf(stderr, "%s\n", db_.error_message());
        if (db_.expire(3)) std::exit(4);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "no such table: ipmap\n"
              "no such table: ipmap\n"
              "ipmap delete old records failed: no such table: ipmap\n");
}

TEST_F(BindingStoreTest, CurrentIsTheLatestFirstSightingWhateverUtimeSays) {
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", 100, 5);
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:02", 200, 1);
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:03", 200, 0);
    // The oldest row was refreshed last; that must not make it current.
    db_.touch(rowid_of("00:00:00:00:00:01"), 9000);

    CurrentBinding current{};
    db_.current(4, "192.0.2.1", &current);
    ASSERT_EQ(current.found, 1);
    EXPECT_STREQ(current.hwaddr, "00:00:00:00:00:02");
    EXPECT_EQ(current.rowid, rowid_of("00:00:00:00:00:02"));
}

TEST_F(BindingStoreTest, CurrentFindsNothingForOtherFamiliesOrUnknownAddresses) {
    db_.insert(6, "::ffff:192.0.2.1", "00:00:00:00:00:01", 100, 0);
    db_.insert(6, "2001:db8::1", "00:00:00:00:00:02", 100, 0);

    // Fields other than found keep what they held when nothing is found.
    CurrentBinding current{1, 77, 88, "untouched", 0, 0, 0};
    const ChildResult r = run_in_child([&] {
        db_.current(4, "2001:db8::1", &current);
        if (current.found != 0 || current.rowid != 77 || current.age != 88) std::exit(2);
        db_.current(4, "192.0.2.1", &current);
        if (current.found != 0) std::exit(3);
        db_.current(6, "2001:db8::2", &current);
        if (current.found != 0 || std::string(current.hwaddr) != "untouched") std::exit(4);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(BindingStoreTest, AgeIsDatabaseClockMinusUtimeAndMayBeNegative) {
    const std::int64_t now = wall_seconds();
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", now - 1, 0);
    db_.insert(4, "192.0.2.2", "00:00:00:00:00:02", now + 3600, 0);

    CurrentBinding past{}, future{};
    db_.current(4, "192.0.2.1", &past);
    db_.current(4, "192.0.2.2", &future);
    const std::int64_t elapsed = wall_seconds() - now;
    ASSERT_EQ(past.found, 1);
    ASSERT_EQ(future.found, 1);
    EXPECT_GE(past.age, 1);
    EXPECT_LE(past.age, 1 + elapsed);
    EXPECT_LE(future.age, -3600 + elapsed);
    EXPECT_GE(future.age, -3600);
}

TEST_F(BindingStoreTest, StatementsArePreparedOnceAndLeftResetAfterAFailedPreparation) {
    raw_exec(db_.raw(), "DROP TABLE ipmap");
    const ChildResult r = run_in_child([&] {
        CurrentBinding current{};
        // No table: each call tries to prepare, warns, and finds nothing.
        if (db_.current(4, "192.0.2.1", &current)) std::exit(2);
        if (db_.current(4, "192.0.2.1", &current)) std::exit(2);
        if (sqlite3_next_stmt(db_.raw(), nullptr) != nullptr) std::exit(2);

        raw_exec(db_.raw(), kInterfaceSchema);
        for (int i = 0; i < 50; ++i) {
            db_.insert(4, "192.0.2.1", "00:00:00:00:00:02", 200 + i, 0);
            if (!db_.current(4, "192.0.2.1", &current)) std::exit(3);
        }
        // The insert and the lookup, each kept once and left reset.
        int kept = 0;
        for (sqlite3_stmt* s = sqlite3_next_stmt(db_.raw(), nullptr); s != nullptr;
             s = sqlite3_next_stmt(db_.raw(), s)) {
            ++kept;
            if (sqlite3_stmt_busy(s) != 0) std::exit(4);
        }
        if (kept != 2) std::exit(5);
        if (current.found != 1 || current.sec != 249 || current.utime != 249) std::exit(6);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "imap get current prepare failed: no such table: ipmap\n"
              "imap get current prepare failed: no such table: ipmap\n");
}

TEST_F(BindingStoreTest, QuotesInTextsAreStoredAsGiven) {
    // Bound, not formatted into the statement: no text can change it.
    EXPECT_TRUE(db_.insert(4, "1'); DROP TABLE ipmap; --", "x'y", 1, 2));
    EXPECT_EQ(rows(), "4|1'); DROP TABLE ipmap; --|x'y|1|2|1");
}

TEST_F(BindingStoreTest, AnotherConnectionGetsItsOwnAnswer) {
    db_.insert(4, "192.0.2.1", "00:00:00:00:00:01", 100, 0);
    CurrentBinding current{};
    db_.current(4, "192.0.2.1", &current);
    ASSERT_EQ(current.found, 1);

    InterfaceDb other(library_, "eth1", OpenMode::write);
    other.insert(4, "192.0.2.1", "00:00:00:00:00:09", 100, 0);
    other.current(4, "192.0.2.1", &current);
    EXPECT_EQ(current.found, 1);
    EXPECT_STREQ(current.hwaddr, "00:00:00:00:00:09");
}

}  // namespace
}  // namespace pelorin_test
