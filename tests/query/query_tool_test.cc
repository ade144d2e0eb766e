// Both query programs run as a user runs them: command lines, path limits,
// missing databases, and the lines they print. Addresses are link-local, so
// nothing here waits for a resolver (names: query_names_test.cc).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ipmap_rows.h"
#include "test_support.h"

namespace pelorin_test {
namespace {

const std::string kQuery = built_program("pelorin-query");
const std::string kLookup = built_program("pelorin-lookup-ma");

std::string query_usage() {
    return "Usage:\n"
           "  " + kQuery + " [-h] [-a] [-4 | -6] [-L dir] ifname [ipaddr | hwaddr]\n"
           "  options:\n"
           "    -h display usage\n"
           "    -a select all records instead of just the last one\n"
           "    -4 select IPv4 records only\n"
           "    -6 select IPv6 records only\n"
           "    -L directory for library files (default: /var/db/pelorin)\n";
}

std::string lookup_usage() {
    return "Usage:\n"
           "  " + kLookup + " [-h] [-L dir] hwaddr\n"
           "  options:\n"
           "    -h display usage\n"
           "    -L directory for library files (default: /var/db/pelorin)\n";
}

ChildResult run(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return run_program(args, {"TZ=UTC"});
}

class QueryToolTest : public ::testing::Test {
   protected:
    void SetUp() override {
        make_vendor_db(dir(), {{"ma_l", "00:11:22", "Acme Widgets Incorporated"},
                               {"ma_s", "00:11:22:33:5", "Tiny Block"},
                               {"ma_u", "2", "(private)"},
                               {"ma_u", "6", "(private)"},
                               {"ma_u", "a", "(private)"},
                               {"ma_u", "e", "(private)"}});
    }
    const std::string& dir() const { return scratch_.path(); }

    // Expects a clean run and returns what it printed.
    std::string query(std::vector<std::string> args) {
        args.insert(args.begin(), {"-L", dir()});
        const ChildResult r = run(kQuery, args);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    ScratchDir scratch_;
};

TEST_F(QueryToolTest, UsageOnHelpWrongOperandCountsAndBadOptions) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {}, {"-a", "-4"}, {"eth0", "169.254.0.1", "extra"}, {"-h", "eth0"}}) {
        const ChildResult r = run(kQuery, args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, query_usage());
    }
    // The option parser's own complaint comes first.
    const ChildResult bad = run(kQuery, {"-x", "eth0"});
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_NE(bad.err.find("invalid option"), std::string::npos) << bad.err;
    EXPECT_TRUE(bad.err.ends_with(query_usage()));
    const ChildResult missing = run(kQuery, {"-L"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_TRUE(missing.err.ends_with(query_usage()));
}

TEST_F(QueryToolTest, ReportLinesNewestOrAll) {
    const std::int64_t t = days_ago(7);
    make_interface_db(dir(), "eth0",
                      {{4, "169.254.0.1", "00:11:22:33:44:55", 1700000000, 0, t},
                       {6, "fe80::1", "02:00:00:00:00:01", 1700000001, 0, days_ago(0)},
                       {4, "169.254.0.1", "00:11:22:33:55:55", 1700000002, 0, t},
                       {4, "169.254.0.2", "0e:00:00:00:00:02", 1700000003, 0, t}});
    const std::string first =
        "2023-11-14 22:13:20 7 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n";
    const std::string v6 = "2023-11-14 22:13:21 0 (link-local) fe80::1 02:00:00:00:00:01 (private)\n";
    const std::string changed =
        "2023-11-14 22:13:22 7 (link-local) 169.254.0.1 00:11:22:33:55:55 Tiny Block\n";
    const std::string other = "2023-11-14 22:13:23 7 (link-local) 169.254.0.2 0e:00:00:00:00:02 (private)\n";
    EXPECT_EQ(query({"eth0"}), v6 + changed + other);
    EXPECT_EQ(query({"-a", "eth0"}), first + v6 + changed + other);
    // The later of -4 and -6 counts.
    EXPECT_EQ(query({"-4", "-6", "eth0"}), v6);
    EXPECT_EQ(query({"-6", "-4", "-a", "eth0"}), first + changed + other);
    // An IP address ignores the family; a hardware address is narrowed by it.
    EXPECT_EQ(query({"-4", "eth0", "fe80::1"}), v6);
    EXPECT_EQ(query({"-6", "eth0", "169.254.0.1"}), changed);
    EXPECT_EQ(query({"eth0", "02:00:00:00:00:01"}), v6);
    EXPECT_EQ(query({"-4", "eth0", "02:00:00:00:00:01"}), "");
    EXPECT_EQ(query({"-a", "eth0", "00:11:22:33:44:55"}), first);
}

TEST_F(QueryToolTest, OptionsAfterTheInterfaceAreOperands) {
    make_interface_db(dir(), "eth0", {{6, "fe80::1", "02:00:00:00:00:01", 1700000001, 0, 0}});
    // "-4" here is an address that matches nothing, not a family filter.
    EXPECT_EQ(query({"eth0", "-4"}), "");
    const ChildResult three = run(kQuery, {"-L", dir(), "eth0", "-a", "fe80::1"});
    EXPECT_EQ(three.exit_status, 1);
    EXPECT_EQ(three.err, query_usage());
}

TEST_F(QueryToolTest, AddressLengthAgeBoundariesAndEmptyResults) {
    make_interface_db(dir(), "eth0", {});
    EXPECT_EQ(query({"eth0"}), "");
    EXPECT_EQ(query({"-a", "-6", "eth0"}), "");
    EXPECT_EQ(query({"eth0", std::string(46, 'f')}), "");

    const std::string len47(47, 'f');
    const ChildResult r = run(kQuery, {"-L", dir(), "eth0", len47});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "invalid query address: \"" + len47 + "\"\n");

    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::int64_t now = wall_seconds();
        std::remove((dir() + "/eth1.sqlite").c_str());
        make_interface_db(dir(), "eth1",
                          {{4, "169.254.9.1", "a2:00:00:00:00:01", 1700000000, 0, now - 86399},
                           {4, "169.254.9.2", "a2:00:00:00:00:02", 1700000001, 0, now - 86400}});
        const std::string out = query({"eth1"});
        if (wall_seconds() != now) continue;
        EXPECT_EQ(out,
                  "2023-11-14 22:13:20 0 (link-local) 169.254.9.1 a2:00:00:00:00:01 (private)\n"
                  "2023-11-14 22:13:21 1 (link-local) 169.254.9.2 a2:00:00:00:00:02 (private)\n");
        return;
    }
    FAIL() << "clock kept ticking";
}

TEST_F(QueryToolTest, PathLimitsAreCheckedInterfaceFirst) {
    // SQLite itself opens no path this long, so a run that passes both
    // checks ends at the open instead.
    const std::string longest = dir() + "/" + std::string(1007 - dir().size() - 1, 'd');
    ASSERT_EQ(longest.size(), 1007u);
    const ChildResult fits = run(kQuery, {"-L", longest, "eth123"});
    EXPECT_EQ(fits.exit_status, 1);
    EXPECT_EQ(fits.err, "sqlite3 open of " + longest +
                            "/eth123.sqlite failed: unable to open database file\n");

    const ChildResult interface_long = run(kQuery, {"-L", longest, "eth1234"});
    EXPECT_EQ(interface_long.exit_status, 1);
    EXPECT_EQ(interface_long.err,
              "db_filename (" + longest + "/eth1234.sqlite) exceeds maximum length of 1024\n");

    const std::string too_long = longest + "x";
    const ChildResult vendor_long = run(kQuery, {"-L", too_long, "e"});
    EXPECT_EQ(vendor_long.exit_status, 1);
    EXPECT_EQ(vendor_long.err,
              "db_filename (" + too_long + "/ma_db.sqlite) exceeds maximum length of 1024\n");

    const ChildResult both_long = run(kQuery, {"-L", too_long, "eth1234"});
    EXPECT_EQ(both_long.exit_status, 1);
    EXPECT_EQ(both_long.err,
              "db_filename (" + too_long + "/eth1234.sqlite) exceeds maximum length of 1024\n");

    const ChildResult lookup_fits = run(kLookup, {"-L", longest, "02:00:00:00:00:01"});
    EXPECT_EQ(lookup_fits.exit_status, 1);
    EXPECT_EQ(lookup_fits.err, "sqlite3 open of " + longest +
                                   "/ma_db.sqlite failed: unable to open database file\n");
    const ChildResult lookup_long = run(kLookup, {"-L", too_long, "02:00:00:00:00:01"});
    EXPECT_EQ(lookup_long.exit_status, 1);
    EXPECT_EQ(lookup_long.err,
              "db_filename (" + too_long + "/ma_db.sqlite) exceeds maximum length of 1024\n");
}

TEST_F(QueryToolTest, MissingDatabasesAreFatalAndNothingIsCreated) {
    const ChildResult no_interface = run(kQuery, {"-L", dir(), "eth9"});
    EXPECT_EQ(no_interface.exit_status, 1);
    EXPECT_EQ(no_interface.err,
              "sqlite3 open of " + dir() + "/eth9.sqlite failed: unable to open database file\n");
    EXPECT_FALSE(file_exists(dir() + "/eth9.sqlite"));
    // A file that is no database is named, not the vendor database.
    write_file(dir() + "/eth8.sqlite", std::string(4096, 'x'));
    const ChildResult not_a_database = run(kQuery, {"-L", dir(), "eth8"});
    EXPECT_EQ(not_a_database.exit_status, 1);
    EXPECT_EQ(not_a_database.err,
              "sqlite3 open of " + dir() + "/eth8.sqlite failed: file is not a database\n");

    const std::string bare = dir() + "/bare";
    std::filesystem::create_directory(bare);
    make_interface_db(bare, "eth0", {});
    const std::string uninitialised =
        "the ma database (" + bare + "/ma_db.sqlite) has not been initialized: run pelorin-update-ma\n";
    const ChildResult no_vendor = run(kQuery, {"-L", bare, "eth0"});
    EXPECT_EQ(no_vendor.exit_status, 1);
    EXPECT_EQ(no_vendor.err, uninitialised);
    EXPECT_FALSE(file_exists(bare + "/ma_db.sqlite"));

    const ChildResult lookup_missing = run(kLookup, {"-L", bare, "00:11:22:33:44:55"});
    EXPECT_EQ(lookup_missing.exit_status, 1);
    EXPECT_EQ(lookup_missing.out, "");
    EXPECT_EQ(lookup_missing.err,
              "sqlite3 open of " + bare + "/ma_db.sqlite failed: unable to open database file\n");
    EXPECT_FALSE(file_exists(bare + "/ma_db.sqlite"));

    // A vendor database file without the tables the updater makes.
    sqlite3* db = raw_open(bare + "/ma_db.sqlite");
    raw_exec(db, "CREATE TABLE ma_l (prefix TEXT, org TEXT)");
    sqlite3_close(db);
    const ChildResult no_ma_u = run(kQuery, {"-L", bare, "eth0"});
    EXPECT_EQ(no_ma_u.exit_status, 1);
    EXPECT_EQ(no_ma_u.err, uninitialised);
}

TEST_F(QueryToolTest, LookupUsage) {
    // An option after the operand is a second operand.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {}, {"00:11:22:33:44:55", "00:11:22:33:44:66"}, {"00:11:22:33:44:55", "-h"}}) {
        const ChildResult r = run(kLookup, args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, lookup_usage());
    }
    for (const auto& args : std::vector<std::vector<std::string>>{{"-L"}, {"-q", "00:11:22:33:44:55"}}) {
        const ChildResult r = run(kLookup, args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(kLookup + ": "), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with(lookup_usage())) << r.err;
    }
}

TEST_F(QueryToolTest, LookupPrintsTheOrganisation) {
    const auto lookup = [&](const std::string& hwaddr) {
        const ChildResult r = run(kLookup, {"-L", dir(), hwaddr});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    };
    EXPECT_EQ(lookup("00:11:22:33:55:01"), "Tiny Block\n");
    EXPECT_EQ(lookup("00:11:22:33:44:55"), "Acme Widgets Incorporated\n");
    for (const char* local : {"02:01:01:01:01:01", "16:01:01:01:01:01", "3a:01:01:01:01:01",
                              "fe:01:01:01:01:01"}) {
        EXPECT_EQ(lookup(local), "(private)\n") << local;
    }
    EXPECT_EQ(lookup("01:01:01:01:01:01"), "(unknown)\n");
    EXPECT_EQ(lookup("00:11:22:33:5A:01"), "Tiny Block\n");
    EXPECT_EQ(lookup("0A:11:22:33:44:55"), "(unknown)\n");
    EXPECT_EQ(lookup("x' OR '1'='1"), "(unknown)\n");
    // However long the operand, it is only compared.
    EXPECT_EQ(lookup("02" + std::string(2000, '\'')), "(private)\n");

    const std::string full = std::string(127, 'L') + "X";
    make_vendor_db(dir(), {{"ma_l", "00:aa:bb", full}});
    EXPECT_EQ(lookup("00:aa:bb:00:00:01"), std::string(127, 'L') + "\n");

    const std::string empty = dir() + "/empty";
    std::filesystem::create_directory(empty);
    make_vendor_db(empty, {});
    const ChildResult r = run(kLookup, {"-L", empty, "02:00:00:00:00:01"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "(unknown)\n");
}

}  // namespace
}  // namespace pelorin_test
