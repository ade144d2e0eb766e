// The record report run in-process against real databases. Every address
// here is link-local (or not an address at all), so no line waits for the
// resolver; names are checked end to end in tests/query.
#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "ipmap_rows.h"
#include "test_support.h"

namespace pelorin_test {
namespace {

constexpr const char* kAcme = "00:11:22:33:44:55";
constexpr const char* kLocal = "02:00:00:00:00:01";
constexpr const char* kOther = "00:99:99:99:99:99";
constexpr const char* kTiny = "00:11:22:33:55:55";

class ReportTest : public ::testing::Test {
   protected:
    void SetUp() override {
        make_vendor_db(scratch_.path(), {{"ma_l", "00:11:22", "Acme Widgets Incorporated"},
                                         {"ma_s", "00:11:22:33:5", "Tiny Block"},
                                         {"ma_u", "2", "(private)"}});
    }

    // Runs the report in a child as the query tool would, with TZ fixed.
    ChildResult report(int iptype, int all, const char* address, const char* tz = "UTC") {
        return run_in_child([=, this] {
            setenv("TZ", tz, 1);
            tzset();
            InterfaceDb db(library_, "eth0", OpenMode::read);
            db.attach_vendor(library_);
            report_bindings(db, iptype, all, address);
        });
    }
    std::string lines(int iptype, int all, const char* address) {
        const ChildResult r = report(iptype, all, address);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    ScratchDir scratch_;
    LibraryDir library_{scratch_.path().c_str()};
};

TEST_F(ReportTest, LineFormatNewestPerAddressAndAllRows) {
    const std::int64_t old = days_ago(12);
    make_interface_db(scratch_.path(), "eth0",
                      {{4, "169.254.0.1", kAcme, 1700000000, 0, old},
                       {4, "169.254.0.1", kOther, 1700000100, 0, old},
                       {6, "fe80::1", kLocal, 1700000050, 0, days_ago(0)},
                       {4, "169.254.0.1", kLocal, 1700000200, 7, days_ago(3)}});
    EXPECT_EQ(lines(0, 1, nullptr),
              "2023-11-14 22:13:20 12 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n"
              "2023-11-14 22:14:10 0 (link-local) fe80::1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:15:00 12 (link-local) 169.254.0.1 00:99:99:99:99:99 (unknown)\n"
              "2023-11-14 22:16:40 3 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n");
    EXPECT_EQ(lines(0, 0, nullptr),
              "2023-11-14 22:14:10 0 (link-local) fe80::1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:16:40 3 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n");
    EXPECT_EQ(lines(4, 0, nullptr),
              "2023-11-14 22:16:40 3 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n");
    EXPECT_EQ(lines(6, 1, nullptr),
              "2023-11-14 22:14:10 0 (link-local) fe80::1 02:00:00:00:00:01 (private)\n");
}

TEST_F(ReportTest, DateIsInTheLocalTimeOfTheReportingProcess) {
    make_interface_db(scratch_.path(), "eth0", {{4, "169.254.0.1", kAcme, 0, 0, days_ago(1)}});
    const ChildResult r = report(0, 0, nullptr, "XYZ-2");
    EXPECT_EQ(r.out, "1970-01-01 02:00:00 1 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n");
}

TEST_F(ReportTest, OrderIsBySecondsThenMicroseconds) {
    const std::int64_t t = days_ago(1);
    make_interface_db(scratch_.path(), "eth0",
                      {{4, "169.254.0.3", kAcme, 1700000001, 0, t},
                       {4, "169.254.0.2", kTiny, 1700000000, 999999, t},
                       {4, "169.254.0.1", kAcme, 1700000000, 5, t},
                       {6, "fe80::4", kAcme, 1699999999, 999999, t}});
    const std::string all = lines(0, 1, nullptr);
    EXPECT_EQ(all, lines(0, 0, nullptr));
    EXPECT_EQ(all,
              "2023-11-14 22:13:19 1 (link-local) fe80::4 00:11:22:33:44:55 Acme Widgets Incorporated\n"
              "2023-11-14 22:13:20 1 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n"
              "2023-11-14 22:13:20 1 (link-local) 169.254.0.2 00:11:22:33:55:55 Tiny Block\n"
              "2023-11-14 22:13:21 1 (link-local) 169.254.0.3 00:11:22:33:44:55 Acme Widgets Incorporated\n");
}

TEST_F(ReportTest, HardwareAddressFilterNarrowsByFamilyAndKeepsFormerBindings) {
    const std::int64_t t = days_ago(2);
    make_interface_db(scratch_.path(), "eth0",
                      {{4, "169.254.0.1", kLocal, 1700000000, 0, t},
                       {4, "169.254.0.1", kLocal, 1700000010, 0, t},
                       {4, "169.254.0.1", kOther, 1700000020, 0, t},
                       {6, "fe80::1", kLocal, 1700000030, 0, t},
                       {4, "169.254.0.2", kOther, 1700000040, 0, t}});
    // 169.254.0.1 has moved on to another card, yet is listed with its newest
    // row for this one.
    EXPECT_EQ(lines(0, 0, kLocal),
              "2023-11-14 22:13:30 2 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:50 2 (link-local) fe80::1 02:00:00:00:00:01 (private)\n");
    EXPECT_EQ(lines(6, 0, kLocal),
              "2023-11-14 22:13:50 2 (link-local) fe80::1 02:00:00:00:00:01 (private)\n");
    EXPECT_EQ(lines(4, 1, kLocal),
              "2023-11-14 22:13:20 2 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:30 2 (link-local) 169.254.0.1 02:00:00:00:00:01 (private)\n");
    // Upper case has the form, so it is compared with the stored lower case.
    EXPECT_EQ(lines(0, 1, "02:00:00:00:00:0A"), "");
}

TEST_F(ReportTest, IpAddressFilterIgnoresTheFamilyAndComparesExactText) {
    const std::int64_t t = days_ago(4);
    make_interface_db(scratch_.path(), "eth0",
                      {{6, "fe80::1", kAcme, 1700000000, 0, t},
                       {6, "fe80::1", kLocal, 1700000005, 0, t},
                       {4, "169.254.0.1", kAcme, 1700000010, 0, t}});
    const std::string newest =
        "2023-11-14 22:13:25 4 (link-local) fe80::1 02:00:00:00:00:01 (private)\n";
    EXPECT_EQ(lines(0, 0, "fe80::1"), newest);
    EXPECT_EQ(lines(4, 0, "fe80::1"), newest);
    EXPECT_EQ(lines(6, 0, "fe80::1"), newest);
    EXPECT_EQ(lines(4, 1, "fe80::1"),
              "2023-11-14 22:13:20 4 (link-local) fe80::1 00:11:22:33:44:55 Acme Widgets Incorporated\n" + newest);
    EXPECT_EQ(lines(0, 0, "fe80::0001"), "");
    EXPECT_EQ(lines(0, 0, "FE80::1"), "");
}

TEST_F(ReportTest, OperandsOfAlmostHardwareFormAreIpAddresses) {
    EXPECT_TRUE(has_hardware_address_form("00:11:22:33:44:55"));
    EXPECT_TRUE(has_hardware_address_form("AB:cd:EF:01:23:45"));
    EXPECT_FALSE(has_hardware_address_form("00:11:22:33:44:5g"));
    EXPECT_FALSE(has_hardware_address_form("00:11:22-33:44:55"));
    EXPECT_FALSE(has_hardware_address_form("00:11:22:33:44:5"));
    EXPECT_FALSE(has_hardware_address_form("00:11:22:33:44:555"));
    EXPECT_FALSE(has_hardware_address_form("0011:22:33:44::55"));
    EXPECT_FALSE(has_hardware_address_form("00:11:22:33:44:5\xe9"));

    // Such a text is compared with ipaddr, where it can be found.
    make_interface_db(scratch_.path(), "eth0",
                      {{5, "00:11:22:33:44:5g", kAcme, 1700000000, 0, days_ago(0)},
                       {4, "169.254.0.1", kAcme, 1700000001, 0, days_ago(0)}});
    EXPECT_EQ(lines(4, 0, "00:11:22:33:44:5g"),
              "2023-11-14 22:13:20 0 (none) 00:11:22:33:44:5g 00:11:22:33:44:55 Acme Widgets Incorporated\n");
}

TEST_F(ReportTest, AddressLengthLimit) {
    make_interface_db(scratch_.path(), "eth0", {{4, "169.254.0.1", kAcme, 1700000000, 0, 0}});
    const std::string len46(46, '1');
    EXPECT_EQ(lines(0, 0, len46.c_str()), "");

    const std::string len47(47, '1');
    const ChildResult r = report(0, 0, len47.c_str());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "invalid query address: \"" + len47 + "\"\n");
}

TEST_F(ReportTest, AgeTurnsToOneDayAt86400Seconds) {
    // Retried if the clock ticks between writing the rows and reading them.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::int64_t now = wall_seconds();
        make_interface_db(scratch_.path(), "eth0",
                          {{4, "169.254.0.1", kAcme, 1700000000, 0, now - 86399},
                           {4, "169.254.0.2", kAcme, 1700000001, 0, now - 86400}});
        const std::string out = lines(0, 0, nullptr);
        if (wall_seconds() != now) {
            std::remove(scratch_.file("eth0.sqlite").c_str());
            continue;
        }
        EXPECT_EQ(out,
                  "2023-11-14 22:13:20 0 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n"
                  "2023-11-14 22:13:21 1 (link-local) 169.254.0.2 00:11:22:33:44:55 Acme Widgets Incorporated\n");
        return;
    }
    FAIL() << "clock kept ticking";
}

TEST_F(ReportTest, EmptyResultsPrintNothing) {
    make_interface_db(scratch_.path(), "eth0", {});
    EXPECT_EQ(lines(0, 0, nullptr), "");
    EXPECT_EQ(lines(6, 1, nullptr), "");
    make_interface_db(scratch_.path(), "eth0", {{4, "169.254.0.1", kAcme, 1700000000, 0, 0}});
    EXPECT_EQ(lines(6, 0, nullptr), "");
    EXPECT_EQ(lines(0, 0, "169.254.0.2"), "");
    EXPECT_EQ(lines(6, 0, kAcme), "");
}

TEST_F(ReportTest, QuotesInTheOperandStayLiterals) {
    const std::int64_t t = days_ago(0);
    make_interface_db(scratch_.path(), "eth0",
                      {{4, "169.254.0.1", kAcme, 1700000000, 0, t},
                       {5, "it's", kAcme, 1700000001, 0, t}});
    EXPECT_EQ(lines(0, 1, "' OR ''='"), "");
    EXPECT_EQ(lines(0, 1, "x' OR 1=1 --"), "");
    EXPECT_EQ(lines(0, 1, "'"), "");
    EXPECT_EQ(lines(0, 1, "it's"),
              "2023-11-14 22:13:21 0 (none) it's 00:11:22:33:44:55 Acme Widgets Incorporated\n");
    // The longest operand accepted, all quotes.
    EXPECT_EQ(lines(0, 1, std::string(46, '\'').c_str()), "");
}

TEST_F(ReportTest, DateBeyondTheCalendarPrintsAsNull) {
    make_interface_db(scratch_.path(), "eth0",
                      {{4, "169.254.0.1", kAcme, 1000000000000000, 0, days_ago(0)}});
    EXPECT_EQ(lines(0, 0, nullptr),
              "(null) 0 (link-local) 169.254.0.1 00:11:22:33:44:55 Acme Widgets Incorporated\n");
}

TEST_F(ReportTest, QueryWithoutVendorTablesIsFatal) {
    make_interface_db(scratch_.path(), "eth0", {});
    const ChildResult r = run_in_child([&] {
        InterfaceDb db(library_, "eth0", OpenMode::read);
        report_bindings(db, 0, 0, nullptr);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "imap query prepare failed: no such table: ma_s\n");
}

}  // namespace
}  // namespace pelorin_test
