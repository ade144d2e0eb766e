// The vendor database: attaching it read-only to an interface database's
// connection and following a replaced file, and the updater's build
// statements. (The organisation lookup: tests/records/names_test.cc.)
#include "vendor_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "interface_db.h"
#include "test_support.h"

using pelorin_test::make_vendor_db;
using pelorin_test::raw_exec;
using pelorin_test::raw_open;
using pelorin_test::raw_query;
using pelorin_test::run_in_child;
using pelorin_test::ScratchDir;

namespace {

class VendorDbTest : public ::testing::Test {
   protected:
    std::string db(const std::string& base) const { return dir_.file(base + ".sqlite"); }
    ScratchDir dir_;
    LibraryDir library_{dir_.path().c_str()};
};

TEST_F(VendorDbTest, WriteModeCreatesSchemaOnceAndKeepsExistingRows) {
    VendorDb::open_write(db("ma_db").c_str()).insert("ma_l", "00:11:22", "Org");
    VendorDb::open_write(db("ma_db").c_str());
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT name FROM sqlite_master ORDER BY name"),
              "ma_l\nma_m\nma_s\nma_u\nsqlite_autoindex_ma_l_1\nsqlite_autoindex_ma_m_1\n"
              "sqlite_autoindex_ma_s_1\nsqlite_autoindex_ma_u_1");
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT * FROM ma_l"), "00:11:22|Org");
}

// Only what the updater can mend is met with the advice to run it; a file
// that is there but cannot be read is named with SQLite's reason.
TEST_F(VendorDbTest, AttachTellsAnUninitialisedFromAnUnreadableVendorDatabase) {
    const std::string prefix = "the ma database (" + dir_.path() + "/ma_db.sqlite) ";
    const std::string uninitialised = prefix + "has not been initialized: run pelorin-update-ma\n";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool unprivileged;
        std::string err;
    };
    const std::string vendor = db("ma_db");
    const Case cases[] = {
        {"missing", [] {}, false, uninitialised},
        {"no ma_u",
         [&] {
             sqlite3* raw = raw_open(vendor);
             raw_exec(raw, "CREATE TABLE ma_l (prefix TEXT, org TEXT)");
             sqlite3_close(raw);
         },
         false, uninitialised},
        {"empty file", [&] { pelorin_test::write_file(vendor, ""); }, false, uninitialised},
        {"no permission",
         [&] {
             make_vendor_db(dir_.path(), {});
             chmod(vendor.c_str(), 0600);
         },
         true, prefix + "cannot be read: unable to open database: file:" + vendor + "?mode=ro\n"},
        {"not a database", [&] { pelorin_test::write_file(vendor, std::string(4096, 'x')); }, false,
         prefix + "cannot be read: file is not a database\n"},
    };
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(vendor.c_str());
        std::remove(db("eth0").c_str());
        c.arrange();
        auto r = run_in_child([&] {
            if (c.unprivileged && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
            InterfaceDb(library_, "eth0", OpenMode::write).attach_vendor(library_);
        });
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

// The updater renames a new file over the vendor database; an attachment
// follows it only between transactions, and keeps the old one otherwise.
TEST_F(VendorDbTest, ReattachFollowsAReplacedVendorFileOnlyOutsideATransaction) {
    make_vendor_db(dir_.path(), {{"ma_l", "00:11:22", "Old"}});
    InterfaceDb c(library_, "eth0", OpenMode::write);
    VendorFile attached = vendor_file(library_);
    c.attach_vendor(library_);
    const auto replace = [&](const std::string& holder) {
        ScratchDir next;
        make_vendor_db(next.path(), {{"ma_l", "00:11:22", holder}});
        std::rename(next.file("ma_db.sqlite").c_str(), db("ma_db").c_str());
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        bool reattached;
        const char* org;
    };
    const Step steps[] = {
        {"replaced inside a transaction",
         [&] {
             replace("New");
             raw_exec(c.raw(), "BEGIN");
         },
         false, "Old"},
        {"transaction ended", [&] { raw_exec(c.raw(), "COMMIT"); }, true, "New"},
        {"removed", [&] { std::remove(db("ma_db").c_str()); }, false, "New"},
        {"back again", [&] { replace("Newer"); }, true, "Newer"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(reattach_vendor_database(c.raw(), library_, attached), step.reattached);
        EXPECT_EQ(raw_query(c.raw(), "SELECT org FROM ma_l"), step.org);
    }
}

// Whatever the directory's name holds (quotes, URI escapes, a query or a
// fragment), the file in that directory is attached, read-only, and nothing
// else runs: the name is a bound value, never part of the statement.
TEST(VendorAttach, AnyDirectoryNameAttachesThatDirectoryReadOnly) {
    ScratchDir top;
    for (const char* name : {"a%41b", "what?mode=rwc", "hash#frag", "p%2", "it's",
                             "x' AS ma_db; CREATE TABLE main.injected(a); ATTACH 'file:y"}) {
        SCOPED_TRACE(name);
        const std::string directory = top.file(name);
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        make_vendor_db(directory, {{"ma_l", "00:11:22", std::string("Org in ") + name}});
        const LibraryDir library(directory.c_str());
        InterfaceDb c(library, "eth0", OpenMode::write);
        c.attach_vendor(library);
        EXPECT_EQ(raw_query(c.raw(), "SELECT org FROM ma_l"), std::string("Org in ") + name);
        EXPECT_NE(sqlite3_exec(c.raw(), "DELETE FROM ma_db.ma_l", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(raw_query(c.raw(), "SELECT count(*) FROM main.sqlite_master"), "2");
    }
    // Written with a leading "//", a path is still a path, not a URI's host.
    const std::string doubled = "/" + top.file("p%2");
    const LibraryDir double_slash(doubled.c_str());
    InterfaceDb d(double_slash, "eth1", OpenMode::write);
    d.attach_vendor(double_slash);
    EXPECT_EQ(raw_query(d.raw(), "SELECT org FROM ma_l"), "Org in p%2");

    // Pasted into the statement, this name would attach the initialised file
    // of the directory above, read-write; taken as it is, it names an empty
    // directory.
    make_vendor_db(top.path(), {{"ma_u", "2", "(private)"}});
    const std::string rewired = top.path() + "/ma_db.sqlite' AS ma_db; --";
    ASSERT_EQ(mkdir(rewired.c_str(), 0700), 0);
    auto w = run_in_child([&] {
        const LibraryDir library(rewired.c_str());
        InterfaceDb(library, "eth0", OpenMode::write).attach_vendor(library);
    });
    EXPECT_EQ(w.exit_status, 1);
    EXPECT_EQ(w.err, "the ma database (" + rewired +
                         "/ma_db.sqlite) has not been initialized: run pelorin-update-ma\n");
}

TEST_F(VendorDbTest, AttachAcceptsEmptyVendorTablesReadOnly) {
    make_vendor_db(dir_.path(), {});
    InterfaceDb c(library_, "eth0", OpenMode::write);
    c.attach_vendor(library_);
    EXPECT_NE(sqlite3_exec(c.raw(), "INSERT INTO ma_db.ma_u VALUES ('2', 'x')", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    EXPECT_EQ(raw_query(c.raw(), "SELECT count(*) FROM ma_u"), "0");
}

TEST_F(VendorDbTest, VendorInsertReplacesOnConflictAndWarnsOnFailure) {
    VendorDb v = VendorDb::open_write(db("ma_db").c_str());
    v.insert("ma_l", "00:11:22", "First");
    v.insert("ma_l", "00:11:22", "Second");
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT prefix, org FROM ma_l"), "00:11:22|Second");

    auto r = run_in_child([&] {
        v.insert("ma_x", "00:11:22", "Org");
        v.insert("ma_l", "00:aa:bb", "Goes on");
        std::printf(
            "%s", raw_query(db("ma_db"), "SELECT org FROM ma_l WHERE prefix = '00:aa:bb'").c_str());
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "ma insert entry failed: no such table: ma_x\n");
    EXPECT_EQ(r.out, "Goes on");
}

TEST_F(VendorDbTest, TransactionsAndResetReportFailuresWithTheirMessages) {
    VendorDb v = VendorDb::open_write(db("ma_db").c_str());
    v.insert("ma_u", "2", "(private)");
    v.begin();
    v.reset_tables();
    v.insert("ma_l", "aa:bb:cc", "New");
    v.commit();
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT count(*) FROM ma_u"), "0");
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT org FROM ma_l"), "New");

    auto commit = run_in_child([&] { v.commit(); });
    EXPECT_EQ(commit.exit_status, 1);
    EXPECT_EQ(commit.err, "end transaction failed: cannot commit - no transaction is active\n");

    auto begin = run_in_child([&] {
        v.begin();
        v.begin();
    });
    EXPECT_EQ(begin.exit_status, 1);
    EXPECT_EQ(begin.err,
              "begin transaction failed: cannot start a transaction within a transaction\n");

    // Vacuum cannot run inside a transaction: a warning, and the caller goes on.
    auto maintain = run_in_child([&] {
        v.begin();
        v.maintain();
    });
    EXPECT_EQ(maintain.exit_status, 0);
    EXPECT_EQ(maintain.err, "database vacuum failed: cannot VACUUM from within a transaction\n");
}

}  // namespace
