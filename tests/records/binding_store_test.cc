// The binding statements against real interface databases: what a row holds
// after each of them, and which row counts as an address's current binding.
#include "binding_store.h"

#include <gtest/gtest.h>

#include <ctime>

#include "store.h"
#include "test_support.h"

namespace pelorin_test {
namespace {

class BindingStoreTest : public ::testing::Test {
   protected:
    void SetUp() override {
        library_directory = scratch_.path().c_str();
        db_ = store_open_interface("eth0", kOpenWrite);
    }
    void TearDown() override { store_close(db_); }

    std::string rows() {
        return raw_query(db_, "SELECT iptype,ipaddr,hwaddr,sec,usec,utime FROM ipmap ORDER BY rowid");
    }
    std::int64_t rowid_of(const std::string& hwaddr) {
        return std::stoll(raw_query(db_, "SELECT rowid FROM ipmap WHERE hwaddr = '" + hwaddr + "'"));
    }

    ScratchDir scratch_;
    sqlite3* db_ = nullptr;
};

TEST_F(BindingStoreTest, InsertKeepsCaptureSecondsAsSecAndUtime) {
    binding_insert(db_, 4, "192.0.2.1", "00:11:22:33:44:55", 1700000000, 123456);
    binding_insert(db_, 6, "2001:db8::1", "00:11:22:33:44:66", 4102444800, 999999);
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:11:22:33:44:55|1700000000|123456|1700000000\n"
              "6|2001:db8::1|00:11:22:33:44:66|4102444800|999999|4102444800");
}

TEST_F(BindingStoreTest, TouchChangesOnlyUtimeOfThatRowAndIgnoresVanishedRows) {
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 100, 1);
    binding_insert(db_, 4, "192.0.2.2", "00:00:00:00:00:02", 200, 2);
    binding_touch(db_, rowid_of("00:00:00:00:00:02"), 5000);
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:00:00:00:00:01|100|1|100\n"
              "4|192.0.2.2|00:00:00:00:00:02|200|2|5000");

    const ChildResult vanished = run_in_child([&] { binding_touch(db_, 999999, 7000); });
    EXPECT_EQ(vanished.exit_status, 0);
    EXPECT_EQ(vanished.err, "");
    EXPECT_EQ(rows(),
              "4|192.0.2.1|00:00:00:00:00:01|100|1|100\n"
              "4|192.0.2.2|00:00:00:00:00:02|200|2|5000");
}

TEST_F(BindingStoreTest, ExpireDeletesRowsAtTheCutoffAndKeepsLaterOnes) {
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 999, 0);
    binding_insert(db_, 6, "2001:db8::1", "00:00:00:00:00:02", 1000, 0);
    binding_insert(db_, 4, "192.0.2.3", "00:00:00:00:00:03", 1001, 0);
    binding_insert(db_, 6, "2001:db8::4", "00:00:00:00:00:04", 50, 0);
    binding_touch(db_, rowid_of("00:00:00:00:00:04"), 1001);
    binding_expire(db_, 1000);
    EXPECT_EQ(raw_query(db_, "SELECT hwaddr FROM ipmap ORDER BY rowid"),
              "00:00:00:00:00:03\n00:00:00:00:00:04");
}

TEST_F(BindingStoreTest, WriteFailuresWarnAndReturn) {
    raw_exec(db_, "DROP TABLE ipmap");
    const ChildResult r = run_in_child([&] {
        binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 1, 0);
        binding_touch(db_, 1, 2);
        binding_expire(db_, 3);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "ipmap insert entry failed: no such table: ipmap\n"
              "ipmap update failed: no such table: ipmap\n"
              "ipmap delete old records failed: no such table: ipmap\n");
}

TEST_F(BindingStoreTest, CurrentIsTheLatestFirstSightingWhateverUtimeSays) {
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 100, 5);
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:02", 200, 1);
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:03", 200, 0);
    // The oldest row was refreshed last; that must not make it current.
    binding_touch(db_, rowid_of("00:00:00:00:00:01"), 9000);

    CurrentBinding current{};
    binding_current(db_, 4, "192.0.2.1", &current);
    ASSERT_EQ(current.found, 1);
    EXPECT_STREQ(current.hwaddr, "00:00:00:00:00:02");
    EXPECT_EQ(current.rowid, rowid_of("00:00:00:00:00:02"));
}

TEST_F(BindingStoreTest, CurrentFindsNothingForOtherFamiliesOrUnknownAddresses) {
    binding_insert(db_, 6, "::ffff:192.0.2.1", "00:00:00:00:00:01", 100, 0);
    binding_insert(db_, 6, "2001:db8::1", "00:00:00:00:00:02", 100, 0);

    // Fields other than found keep what they held when nothing is found.
    CurrentBinding current{1, 77, 88, "untouched"};
    const ChildResult r = run_in_child([&] {
        binding_current(db_, 4, "2001:db8::1", &current);
        if (current.found != 0 || current.rowid != 77 || current.age != 88) std::exit(2);
        binding_current(db_, 4, "192.0.2.1", &current);
        if (current.found != 0) std::exit(3);
        binding_current(db_, 6, "2001:db8::2", &current);
        if (current.found != 0 || std::string(current.hwaddr) != "untouched") std::exit(4);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(BindingStoreTest, AgeIsDatabaseClockMinusUtimeAndMayBeNegative) {
    const std::int64_t now = std::time(nullptr);
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", now - 1, 0);
    binding_insert(db_, 4, "192.0.2.2", "00:00:00:00:00:02", now + 3600, 0);

    CurrentBinding past{}, future{};
    binding_current(db_, 4, "192.0.2.1", &past);
    binding_current(db_, 4, "192.0.2.2", &future);
    const std::int64_t elapsed = std::time(nullptr) - now;
    ASSERT_EQ(past.found, 1);
    ASSERT_EQ(future.found, 1);
    EXPECT_GE(past.age, 1);
    EXPECT_LE(past.age, 1 + elapsed);
    EXPECT_LE(future.age, -3600 + elapsed);
    EXPECT_GE(future.age, -3600);
}

TEST_F(BindingStoreTest, StatementIsPreparedAgainOnlyAfterAFailedPreparation) {
    raw_exec(db_, "DROP TABLE ipmap");
    const ChildResult r = run_in_child([&] {
        CurrentBinding current{};
        // No table: each call tries to prepare, warns, and finds nothing.
        binding_current(db_, 4, "192.0.2.1", &current);
        binding_current(db_, 4, "192.0.2.1", &current);
        if (sqlite3_next_stmt(db_, nullptr) != nullptr) std::exit(2);

        raw_exec(db_, kInterfaceSchema);
        binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 100, 0);
        binding_current(db_, 4, "192.0.2.1", &current);
        if (current.found != 1) std::exit(3);
        sqlite3_stmt* kept = sqlite3_next_stmt(db_, nullptr);
        if (kept == nullptr) std::exit(4);

        for (int i = 0; i < 50; ++i) {
            binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:02", 200 + i, 0);
            binding_current(db_, 4, "192.0.2.1", &current);
        }
        // Still the one statement, and left reset for the next frame.
        if (sqlite3_next_stmt(db_, nullptr) != kept || sqlite3_next_stmt(db_, kept) != nullptr)
            std::exit(5);
        if (sqlite3_stmt_busy(kept) != 0) std::exit(6);
        if (current.found != 1 || std::string(current.hwaddr) != "00:00:00:00:00:02") std::exit(7);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "imap get current prepare failed: no such table: ipmap\n"
              "imap get current prepare failed: no such table: ipmap\n");
}

TEST_F(BindingStoreTest, AnotherConnectionGetsItsOwnAnswer) {
    binding_insert(db_, 4, "192.0.2.1", "00:00:00:00:00:01", 100, 0);
    CurrentBinding current{};
    binding_current(db_, 4, "192.0.2.1", &current);
    ASSERT_EQ(current.found, 1);

    sqlite3* other = store_open_interface("eth1", kOpenWrite);
    binding_insert(other, 4, "192.0.2.1", "00:00:00:00:00:09", 100, 0);
    binding_current(other, 4, "192.0.2.1", &current);
    EXPECT_EQ(current.found, 1);
    EXPECT_STREQ(current.hwaddr, "00:00:00:00:00:09");
    store_close(other);
}

}  // namespace
}  // namespace pelorin_test
