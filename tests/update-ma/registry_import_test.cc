// The rebuild of the vendor database from CSV files already in place (-D).
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "updater_test_support.h"

using pelorin_test::file_exists;
using pelorin_test::raw_query;
using pelorin_test::ScratchDir;
using pelorin_test::write_file;
using updater_test::csv_line;
using updater_test::kHeader;
using updater_test::offline_registries;
using updater_test::run_updater;

namespace {

constexpr const char* kAllRows =
    "SELECT 'l', * FROM ma_l UNION ALL SELECT 'm', * FROM ma_m UNION ALL "
    "SELECT 's', * FROM ma_s UNION ALL SELECT 'u', * FROM ma_u ORDER BY 1, 2";

class RegistryImport : public ::testing::Test {
   protected:
    pelorin_test::ChildResult run() {
        return run_updater({"-D", "-L", dir_.path()}, offline_registries());
    }
    std::string db() const { return dir_.file("ma_db.sqlite"); }
    std::string rows() const { return raw_query(db(), kAllRows); }
    void write(const std::string& table, const std::string& body) {
        write_file(dir_.file(table + ".csv"), kHeader + body);
    }
    // A first good run whose content the failing runs must keep.
    std::string arrange_previous_content() {
        write("ma_l", csv_line("MA-L", "0050C2", "Old L"));
        write("ma_m", csv_line("MA-M", "70B3D5F", "Old M"));
        write("ma_s", csv_line("MA-S", "70B3D5123", "Old S"));
        EXPECT_EQ(run().exit_status, 0);
        return rows();
    }
    // Many long rows, so that the transaction outgrows SQLite's page cache
    // and spills into the database file before it fails.
    static std::string many_rows(int count) {
        std::string body;
        char assignment[8];
        for (int i = 0; i < count; ++i) {
            std::snprintf(assignment, sizeof assignment, "%06X", i);
            body += csv_line("MA-L", assignment, "Organisation " + std::string(100, 'o'));
        }
        return body;
    }
    // Opened the way the lookup tool and the daemon's attachment open it.
    std::string read_only_rows() const {
        sqlite3* ro = nullptr;
        EXPECT_EQ(sqlite3_open_v2(db().c_str(), &ro, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        std::string result = raw_query(ro, kAllRows);
        sqlite3_close(ro);
        return result;
    }
    ScratchDir dir_;
};

TEST_F(RegistryImport, RebuildsEveryTableFromItsFile) {
    write("ma_l", csv_line("MA-L", "0050C2", "IEEE Registration Authority") +
                      csv_line("MA-L", "00000C", "\"Cisco Systems, Inc\"") +
                      csv_line("MA-L", "AABBCC", "First Holder") +
                      csv_line("MA-L", "aabbcc", "Second Holder") +  // later row wins
                      csv_line("MA-M", "70B3D5F", "Stray M In L") +  // goes into ma_l
                      csv_line("MA-L", "001122", "O'Neil Ltd") + "no comma here\r\n" +
                      "MA-L,334455,Unquoted Last Field\r\n" + "\r\n");
    write("ma_m", csv_line("MA-M", "70B3D5F", "Seven"));
    write("ma_s", csv_line("MA-S", "70B3D5123", "Nine") + csv_line("MA-X", "70B3D5124", "No"));

    auto r = run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Updating ma_l database\n\ncomplete\nUpdating ma_m database\n\ncomplete\n"
              "Updating ma_s database\n\ncomplete\n");
    EXPECT_EQ(rows(),
              "l|00:00:0c|Cisco Systems, Inc\n"
              "l|00:11:22|O`Neil Ltd\n"
              "l|00:50:c2|IEEE Registration Authority\n"
              "l|70:b3:d5:f|Stray M In L\n"
              "l|aa:bb:cc|Second Holder\n"
              "m|70:b3:d5:f|Seven\n"
              "s|70:b3:d5:12:3|Nine\n"
              "u|2|(private)\nu|6|(private)\nu|a|(private)\nu|e|(private)");

    // A second run holds only the rows of the current files.
    write("ma_l", csv_line("MA-L", "0050C2", "Renamed"));
    write("ma_m", "");
    ASSERT_EQ(run().exit_status, 0);
    EXPECT_EQ(rows(),
              "l|00:50:c2|Renamed\ns|70:b3:d5:12:3|Nine\n"
              "u|2|(private)\nu|6|(private)\nu|a|(private)\nu|e|(private)");
}

TEST_F(RegistryImport, LongLineIsReadInPiecesOfTheBufferSize) {
    // 1023 bytes fill one read; the rest of the line is read as a line of
    // its own, and here it happens to look like a registry row.
    const std::string head = "MA-L,001122," + std::string(1011, 'x');
    ASSERT_EQ(head.size(), 1023U);
    write("ma_l", head + "MA-L,AABBCC,Piece,addr\r\n");
    write("ma_m", "");
    write("ma_s", "");
    ASSERT_EQ(run().exit_status, 0);
    EXPECT_EQ(raw_query(db(), "SELECT * FROM ma_l"), "aa:bb:cc|Piece");
}

TEST_F(RegistryImport, BadAssignmentLengthEndsTheRunWithTheDatabaseAsBefore) {
    const std::string before = arrange_previous_content();
    write("ma_l", many_rows(40000));
    write("ma_m", csv_line("MA-M", "70B3D5F", "Fine") + csv_line("MA-M", "0050C2AB", "Eight"));

    auto r = run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "unexpected assignment value: 0050C2AB\n");
    EXPECT_EQ(r.out, "Updating ma_l database\n\ncomplete\nUpdating ma_m database\n");
    // Readable at once by a read-only connection: no journal left to replay.
    EXPECT_FALSE(file_exists(db() + "-journal"));
    EXPECT_EQ(read_only_rows(), before);
    EXPECT_EQ(rows(), before);
}

TEST_F(RegistryImport, MissingFileEndsTheRunWithTheDatabaseAsBefore) {
    const std::string before = arrange_previous_content();
    write("ma_l", many_rows(40000));
    std::remove(dir_.file("ma_s.csv").c_str());

    auto r = run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "failed to open " + dir_.file("ma_s.csv") + ": No such file or directory\n");
    EXPECT_FALSE(file_exists(db() + "-journal"));
    EXPECT_EQ(read_only_rows(), before);
}

TEST_F(RegistryImport, FirstRunThatFailsLeavesTheEmptyTablesItCreated) {
    write("ma_l", csv_line("MA-L", "0050C2", "Fine"));
    auto r = run();  // no ma_m.csv
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "failed to open " + dir_.file("ma_m.csv") + ": No such file or directory\n");
    EXPECT_EQ(raw_query(db(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY 1"),
              "ma_l\nma_m\nma_s\nma_u");
    EXPECT_EQ(rows(), "");
}

TEST_F(RegistryImport, AssignmentWithAQuoteIsStoredAsGiven) {
    write("ma_l", csv_line("MA-L", "0050C2", "Kept") +
                      "MA-S,abcdefgh',\", 1);DROP TABLE ma_m;--\",addr\r\n" +
                      csv_line("MA-L", "00000C", "After"));
    write("ma_m", csv_line("MA-M", "70B3D5F", "Still Here"));
    write("ma_s", "");

    auto r = run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(rows(),
              "l|00:00:0c|After\nl|00:50:c2|Kept\nl|ab:cd:ef:gh:'|, 1);DROP TABLE ma_m;--\n"
              "m|70:b3:d5:f|Still Here\n"
              "u|2|(private)\nu|6|(private)\nu|a|(private)\nu|e|(private)");
}

}  // namespace
