// The registries of the ieee-data package, written by nobody here, imported
// by the built program and checked against an independent count.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "test_support.h"
#include "vendor_db.h"

using pelorin_test::read_file;
using pelorin_test::run_program;
using pelorin_test::ScratchDir;
using pelorin_test::write_file;

namespace {

constexpr const char* kIeeeData = "/usr/share/ieee-data";

class RealRegistries : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir;
        const std::map<std::string, std::string> files{
            {"oui.csv", "ma_l.csv"}, {"mam.csv", "ma_m.csv"}, {"oui36.csv", "ma_s.csv"}};
        for (const auto& [from, to] : files) {
            write_file(dir_->file(to), read_file(std::string(kIeeeData) + "/" + from));
        }
        result_ = new pelorin_test::ChildResult(
            run_program({pelorin_test::built_program("pelorin-update-ma"), "-D", "-L",
                         dir_->path()}));
    }
    static void TearDownTestSuite() {
        delete result_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_EQ(result_->exit_status, 0) << result_->err;
        ASSERT_EQ(result_->err, "");
    }
    static std::string db() { return dir_->file("ma_db.sqlite"); }

    static ScratchDir* dir_;
    static pelorin_test::ChildResult* result_;
};

ScratchDir* RealRegistries::dir_ = nullptr;
pelorin_test::ChildResult* RealRegistries::result_ = nullptr;

TEST_F(RealRegistries, RowCountsMatchAnIndependentCount) {
    auto count = run_program({"/usr/bin/python3",
                              PELORIN_SOURCE_DIR "/tests/update-ma/count_registry.py",
                              dir_->file("ma_l.csv"), dir_->file("ma_m.csv"),
                              dir_->file("ma_s.csv")});
    ASSERT_EQ(count.exit_status, 0) << count.err;
    std::istringstream lines(count.out);
    for (const char* table : {"ma_l", "ma_m", "ma_s"}) {
        std::string name;
        long by_line = -1, by_record = -1;
        ASSERT_TRUE(lines >> name >> by_line >> by_record);
        EXPECT_EQ(name, dir_->file(std::string(table) + ".csv"));
        const std::string stored =
            pelorin_test::raw_query(db(), std::string("SELECT count(*) FROM ") + table);
        EXPECT_EQ(stored, std::to_string(by_line)) << table;
        // The line rules lose no record that a full CSV reader finds.
        EXPECT_EQ(by_line, by_record) << table;
        EXPECT_GT(by_line, 1000) << table;
    }
    EXPECT_EQ(pelorin_test::raw_query(db(), "SELECT * FROM ma_u"),
              "2|(private)\n6|(private)\na|(private)\ne|(private)");
}

TEST_F(RealRegistries, WellKnownBlocksLookUpToTheirHolders) {
    VendorDb vendor = VendorDb::open_read(LibraryDir(dir_->path().c_str()));
    const std::map<std::string, std::string> expected{
        {"00:00:0c:12:34:56", "Cisco Systems, Inc"},
        {"00:1b:63:00:00:01", "Apple, Inc."},
        {"3c:5a:b4:aa:bb:cc", "Google, Inc."},
        {"08:00:27:01:02:03", "PCS Systemtechnik GmbH"},
        {"00:50:c2:00:00:00", "IEEE Registration Authority"},
        // Doubled quotes in a quoted name are one quote each.
        {"00:1e:fc:00:00:01", "JSC \"MASSA-K\""},
        // MA-M and MA-S blocks win over the MA-L block they are carved from.
        {"3c:24:f0:90:00:01", "Siemens AG - Siemens Deutschland Mobility"},
        {"70:b3:d5:e4:00:01", "Siemens Mobility GmbH - MO TI SPA"},
        {"02:00:00:00:00:01", "(private)"},
    };
    for (const auto& [address, holder] : expected) {
        char org[kOrganisationSize] = {};
        vendor.lookup(address.c_str(), org);
        EXPECT_EQ(std::string(org), holder) << address;
    }
}

}  // namespace
