// Host name placeholders that never reach the resolver, and organisation
// lookups against real vendor databases. Names that do come from the
// resolver are checked end to end in a network namespace (tests/query).
#include "names.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "vendor_db.h"

namespace pelorin_test {
namespace {

std::string name_of_text(int iptype, const char* text) {
    char out[kHostNameSize];
    host_name_of_text(iptype, text, out, sizeof out);
    return out;
}

TEST(HostNameTest, LinkLocalAddressesAreNeverResolved) {
    for (const char* text : {"169.254.1.2", "169.254.255.255", "169.254.0.0"}) {
        EXPECT_EQ(name_of_text(4, text), "(link-local)") << text;
    }
    for (const char* text : {"fe80::1", "febf::1", "fe80::1:2:3:4"}) {
        EXPECT_EQ(name_of_text(6, text), "(link-local)") << text;
    }
    const unsigned char v4[4] = {169, 254, 7, 7};
    char out[kHostNameSize];
    host_name_of(AF_INET, v4, out, sizeof out);
    EXPECT_STREQ(out, "(link-local)");
    // Any family but AF_INET is taken as IPv6.
    unsigned char v6[16] = {0xfe, 0x80};
    host_name_of(12345, v6, out, sizeof out);
    EXPECT_STREQ(out, "(link-local)");
}

TEST(HostNameTest, TextsThatAreNotAnAddressOfTheirTypeGetNone) {
    EXPECT_EQ(name_of_text(4, "fe80::1"), "(none)");
    EXPECT_EQ(name_of_text(6, "169.254.1.1"), "(none)");
    EXPECT_EQ(name_of_text(5, "169.254.1.1"), "(none)");
    EXPECT_EQ(name_of_text(0, "fe80::1"), "(none)");
    EXPECT_EQ(name_of_text(4, "169.254.1"), "(none)");
    EXPECT_EQ(name_of_text(4, ""), "(none)");
    EXPECT_EQ(name_of_text(6, "fe80::1%eth0"), "(none)");
}

TEST(HostNameTest, PlaceholdersAreCutToTheBuffer) {
    char out[5];
    host_name_of_text(4, "169.254.1.1", out, sizeof out);
    EXPECT_STREQ(out, "(lin");
    host_name_of_text(7, "x", out, 1);
    EXPECT_STREQ(out, "");
}

class VendorLookupTest : public ::testing::Test {
   protected:
    // Opens the vendor database read-only, as the lookup tool does.
    std::string lookup(const char* hwaddr) {
        char out[kOrganisationSize];
        VendorDb::open_read(LibraryDir(scratch_.path().c_str())).lookup(hwaddr, out);
        return out;
    }

    ScratchDir scratch_;
};

TEST_F(VendorLookupTest, MostSpecificRegistrationWins) {
    make_vendor_db(scratch_.path(), {{"ma_l", "00:11:22", "Large Block Inc"},
                                     {"ma_m", "00:11:22:3", "Medium Block Ltd"},
                                     {"ma_s", "00:11:22:33:4", "Small Block GmbH"},
                                     {"ma_l", "02:11:22", "Registered Local Co"},
                                     {"ma_u", "2", "(private)"},
                                     {"ma_u", "6", "(private)"},
                                     {"ma_u", "a", "(private)"},
                                     {"ma_u", "e", "(private)"}});
    EXPECT_EQ(lookup("00:11:22:33:44:55"), "Small Block GmbH");
    EXPECT_EQ(lookup("00:11:22:33:55:55"), "Medium Block Ltd");
    EXPECT_EQ(lookup("00:11:22:44:44:55"), "Large Block Inc");
    // An IEEE registration beats the locally administered digit.
    EXPECT_EQ(lookup("02:11:22:00:00:01"), "Registered Local Co");
    for (const char* local : {"02:00:00:00:00:01", "16:00:00:00:00:01", "3a:00:00:00:00:01",
                              "fe:00:00:00:00:01"}) {
        EXPECT_EQ(lookup(local), "(private)") << local;
    }
    EXPECT_EQ(lookup("03:00:00:00:00:01"), "(unknown)");
    EXPECT_EQ(lookup("00:11:23:00:00:01"), "(unknown)");
}

TEST_F(VendorLookupTest, KeysAreLowerCaseAndTextsShorterThanAKeyMatchNothing) {
    make_vendor_db(scratch_.path(), {{"ma_l", "0a:bc:de", "Letters Inc"},
                                     {"ma_l", "00:11:22", "Digits Inc"},
                                     {"ma_u", "2", "(private)"},
                                     {"ma_u", "a", "(private)"}});
    EXPECT_EQ(lookup("0a:bc:de:00:00:01"), "Letters Inc");
    EXPECT_EQ(lookup("0A:BC:DE:00:00:01"), "(unknown)");
    EXPECT_EQ(lookup("0a:BC:DE:00:00:01"), "(private)");
    EXPECT_EQ(lookup("02:AB:CD:00:00:01"), "(private)");
    EXPECT_EQ(lookup("00:11:22:AA:BB:CC"), "Digits Inc");
    EXPECT_EQ(lookup("00:11"), "(unknown)");
    EXPECT_EQ(lookup("00:11:2"), "(unknown)");
    EXPECT_EQ(lookup(""), "(unknown)");
    // The second character alone decides ma_u, however short the text.
    EXPECT_EQ(lookup("x2"), "(private)");
}

TEST_F(VendorLookupTest, EmptyTablesGiveUnknown) {
    make_vendor_db(scratch_.path(), {});
    EXPECT_EQ(lookup("00:11:22:33:44:55"), "(unknown)");
    EXPECT_EQ(lookup("02:00:00:00:00:01"), "(unknown)");
}

TEST_F(VendorLookupTest, OrganisationIsCutAfter127Bytes) {
    // 126 ASCII bytes, then a two-byte character that straddles the cut.
    const std::string org = std::string(126, 'o') + "\xc3\xa9";
    ASSERT_EQ(org.size(), 128u);
    make_vendor_db(scratch_.path(), {{"ma_l", "00:11:22", org}});
    EXPECT_EQ(lookup("00:11:22:33:44:55"), org.substr(0, 127));
}

TEST_F(VendorLookupTest, QuotesInTheTextStayLiterals) {
    make_vendor_db(scratch_.path(), {{"ma_l", "00:11:22", "Acme"},
                                     {"ma_l", "a'b:cd:e", "Quoted Prefix Co"},
                                     {"ma_u", "2", "(private)"}});
    EXPECT_EQ(lookup("x' OR '1'='1"), "(unknown)");
    EXPECT_EQ(lookup("00:11:22:33:44:55'),(SELECT 'pwned"), "Acme");
    EXPECT_EQ(lookup("'); DROP TABLE ma_l; --"), "(unknown)");
    EXPECT_EQ(lookup("'"), "(unknown)");
    // A quote is just a character to compare.
    EXPECT_EQ(lookup("a'b:cd:ef:00:00"), "Quoted Prefix Co");
    EXPECT_EQ(raw_query(scratch_.file("ma_db.sqlite"), "SELECT count(*) FROM ma_l"), "2");
}

// Bound, not formatted into a statement of fixed size: a text of any
// length, quotes and all, is only ever compared.
TEST_F(VendorLookupTest, TextOfAnyLengthIsLookedUp) {
    make_vendor_db(scratch_.path(), {{"ma_u", "2", "(private)"}});
    EXPECT_EQ(lookup(("02" + std::string(192, 'x')).c_str()), "(private)");
    EXPECT_EQ(lookup(("02" + std::string(4096, 'x')).c_str()), "(private)");
    EXPECT_EQ(lookup(std::string(195, 'x').c_str()), "(unknown)");
    EXPECT_EQ(lookup(std::string(120, '\'').c_str()), "(unknown)");
    EXPECT_EQ(lookup(("'2" + std::string(1200, '\'')).c_str()), "(private)");
}

TEST_F(VendorLookupTest, MissingTableIsFatal) {
    sqlite3* db = raw_open(scratch_.file("ma_db.sqlite"));
    raw_exec(db, "CREATE TABLE ma_u (prefix TEXT NOT NULL PRIMARY KEY, org TEXT NOT NULL)");
    sqlite3_close(db);
    const ChildResult r = run_in_child([&] { lookup("00:11:22:33:44:55"); });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "query ma prepare failed: no such table: ma_s\n");
}

}  // namespace
}  // namespace pelorin_test
