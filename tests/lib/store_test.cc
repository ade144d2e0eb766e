#include "store.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "binding_store.h"
#include "diag.h"
#include "test_support.h"

using pelorin_test::file_exists;
using pelorin_test::make_vendor_db;
using pelorin_test::raw_exec;
using pelorin_test::raw_open;
using pelorin_test::raw_query;
using pelorin_test::run_in_child;
using pelorin_test::ScratchDir;

namespace {

class StoreTest : public ::testing::Test {
   protected:
    void SetUp() override { library_directory = dir_.path().c_str(); }
    void TearDown() override { library_directory = kDefaultLibraryDirectory; }
    std::string db(const std::string& base) const { return dir_.file(base + ".sqlite"); }
    ScratchDir dir_;
};

TEST_F(StoreTest, PathCheckBoundariesForInterfaceAndVendorDatabases) {
    // Directory and interface name together may be 1013 bytes, not 1014.
    const std::string directory(1000, 'd');
    const std::string fits(13, 'i');
    const std::string too_long(14, 'i');
    auto ok = run_in_child([&] {
        library_directory = directory.c_str();
        store_check_path(fits.c_str(), kInterfacePathSlack);
    });
    EXPECT_EQ(ok.exit_status, 0);
    EXPECT_EQ(ok.err, "");

    auto bad = run_in_child([&] {
        library_directory = directory.c_str();
        store_check_path(too_long.c_str(), kInterfacePathSlack);
    });
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(bad.err, "db_filename (" + directory + "/" + too_long +
                           ".sqlite) exceeds maximum length of 1024\n");

    // The vendor path allows a directory of 1007 bytes, not 1008.
    const std::string d1007(1007, 'v'), d1008(1008, 'v');
    auto vendor_ok = run_in_child([&] {
        library_directory = d1007.c_str();
        store_check_path(kVendorBaseName, kVendorPathSlack);
    });
    EXPECT_EQ(vendor_ok.exit_status, 0);
    auto vendor_bad = run_in_child([&] {
        library_directory = d1008.c_str();
        store_check_path(kVendorBaseName, kVendorPathSlack);
    });
    EXPECT_EQ(vendor_bad.exit_status, 1);
    EXPECT_EQ(vendor_bad.err,
              "db_filename (" + d1008 + "/ma_db.sqlite) exceeds maximum length of 1024\n");
}

TEST_F(StoreTest, WriteModeCreatesSchemaOnceAndKeepsExistingRows) {
    sqlite3* first = store_open_interface("eth0", kOpenWrite);
    raw_exec(first, "INSERT INTO ipmap VALUES (4, '10.0.0.1', '00:11:22:33:44:55', 5, 6, 7)");
    store_close(first);

    sqlite3* second = store_open_interface("eth0", kOpenWrite);
    store_close(second);

    EXPECT_EQ(raw_query(db("eth0"), "SELECT * FROM ipmap"), "4|10.0.0.1|00:11:22:33:44:55|5|6|7");
    EXPECT_EQ(raw_query(db("eth0"),
                        "SELECT type, name FROM sqlite_master ORDER BY type, name"),
              "index|ipmap_last\ntable|ipmap");
    EXPECT_EQ(raw_query(db("eth0"), "SELECT sql FROM sqlite_master WHERE name = 'ipmap'"),
              "CREATE TABLE ipmap (iptype INTEGER NOT NULL,ipaddr TEXT NOT NULL,hwaddr TEXT NOT "
              "NULL,sec INTEGER NOT NULL,usec INTEGER NOT NULL,utime INTEGER NOT NULL)");

    sqlite3* vendor = store_open_vendor(kOpenWrite);
    vendor_insert(vendor, "ma_l", "00:11:22", "Org");
    store_close(vendor);
    vendor = store_open_vendor(kOpenWrite);
    store_close(vendor);
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT name FROM sqlite_master ORDER BY name"),
              "ma_l\nma_m\nma_s\nma_u\nsqlite_autoindex_ma_l_1\nsqlite_autoindex_ma_m_1\n"
              "sqlite_autoindex_ma_s_1\nsqlite_autoindex_ma_u_1");
    EXPECT_EQ(raw_query(db("ma_db"), "SELECT * FROM ma_l"), "00:11:22|Org");
}

TEST_F(StoreTest, ReadModeOfMissingFileFailsAndCreatesNothing) {
    auto r = run_in_child([] { store_open_interface("missing0", kOpenRead); });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "sqlite3 open of " + db("missing0") + " failed: unable to open database file\n");
    EXPECT_FALSE(file_exists(db("missing0")));
}

TEST_F(StoreTest, ReadModeOpenDoesNotCreateTheSchema) {
    sqlite3* raw = raw_open(db("bare"));
    raw_exec(raw, "CREATE TABLE other (x)");
    sqlite3_close(raw);
    sqlite3* ro = store_open_interface("bare", kOpenRead);
    store_close(ro);
    EXPECT_EQ(raw_query(db("bare"), "SELECT name FROM sqlite_master"), "other");
}

TEST_F(StoreTest, WriteModeOfUnwritableFileEndsWithReadOnlyMessage) {
    sqlite3* made = store_open_interface("ro0", kOpenWrite);
    store_close(made);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(db("ro0").c_str(), 0444), 0);
    // Root writes any file, so the open runs in a child that gave up root.
    auto r = run_in_child([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        store_open_interface("ro0", kOpenWrite);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "sqlite3 open of " + db("ro0") + " failed: read-only database\n");
}

// Only what the updater can mend is met with the advice to run it; a file
// that is there but cannot be read is named with SQLite's reason.
TEST_F(StoreTest, AttachTellsAnUninitialisedFromAnUnreadableVendorDatabase) {
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
        {"not a database",
         [&] { pelorin_test::write_file(vendor, std::string(4096, 'x')); }, false,
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
            sqlite3* conn = store_open_interface("eth0", kOpenWrite);
            store_attach_vendor(conn);
        });
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

// The updater renames a new file over the vendor database; an attachment
// follows it only between transactions, and keeps the old one otherwise.
TEST_F(StoreTest, ReattachFollowsAReplacedVendorFileOnlyOutsideATransaction) {
    make_vendor_db(dir_.path(), {{"ma_l", "00:11:22", "Old"}});
    auto r = run_in_child([&] {
        sqlite3* c = store_open_interface("eth0", kOpenWrite);
        VendorFile attached = store_vendor_file();
        store_attach_vendor(c);
        const auto org = [&] { return raw_query(c, "SELECT org FROM ma_l"); };
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
                 raw_exec(c, "BEGIN");
             },
             false, "Old"},
            {"transaction ended", [&] { raw_exec(c, "COMMIT"); }, true, "New"},
            {"removed", [&] { std::remove(db("ma_db").c_str()); }, false, "New"},
            {"back again", [&] { replace("Newer"); }, true, "Newer"},
        };
        for (const Step& step : steps) {
            step.act();
            const bool reattached = store_reattach_vendor(c, attached);
            if (reattached != step.reattached || org() != step.org) {
                std::fprintf(stderr, "%s: reattached %d, org %s\n", step.what, reattached,
                             org().c_str());
            }
        }
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(StoreTest, AttachAcceptsEmptyVendorTablesReadOnly) {
    make_vendor_db(dir_.path(), {});
    auto r = run_in_child([] {
        sqlite3* c = store_open_interface("eth0", kOpenWrite);
        store_attach_vendor(c);
        // Attached read-only: a write through the attachment must fail.
        if (sqlite3_exec(c, "INSERT INTO ma_db.ma_u VALUES ('2', 'x')", nullptr, nullptr,
                         nullptr) == SQLITE_OK) {
            _exit(3);
        }
        if (sqlite3_exec(c, "SELECT count(*) FROM ma_u", nullptr, nullptr, nullptr) != SQLITE_OK)
            _exit(4);
    });
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(StoreAttach, QuoteInDirectoryNeverRunsASecondStatement) {
    ScratchDir top;
    // A directory name that, pasted into the statement, would close the
    // literal and append a statement of its own.
    const std::string evil =
        top.file("x' AS ma_db; CREATE TABLE main.injected(a); ATTACH 'file:y");
    ASSERT_EQ(mkdir(evil.c_str(), 0700), 0);
    make_vendor_db(evil, {{"ma_u", "2", "(private)"}});
    auto r = run_in_child([&] {
        library_directory = evil.c_str();
        sqlite3* c = store_open_interface("eth0", kOpenWrite);
        store_attach_vendor(c);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "the ma database (" + evil +
                         "/ma_db.sqlite) has not been initialized: run pelorin-update-ma\n");
    EXPECT_EQ(raw_query(evil + "/eth0.sqlite",
                        "SELECT count(*) FROM sqlite_master WHERE name = 'injected'"),
              "0");

    // Here the first statement alone would attach another, initialised file
    // read-write; only the refusal of left-over text stops it.
    make_vendor_db(top.path(), {{"ma_u", "2", "(private)"}});
    const std::string rewired = top.path() + "/ma_db.sqlite' AS ma_db; --";
    ASSERT_EQ(mkdir(rewired.c_str(), 0700), 0);
    auto w = run_in_child([&] {
        library_directory = rewired.c_str();
        sqlite3* c = store_open_interface("eth0", kOpenWrite);
        store_attach_vendor(c);
    });
    EXPECT_EQ(w.exit_status, 1);
    EXPECT_NE(w.err.find("has not been initialized"), std::string::npos);

    const std::string plain_quote = top.file("it's");
    ASSERT_EQ(mkdir(plain_quote.c_str(), 0700), 0);
    make_vendor_db(plain_quote, {});
    auto q = run_in_child([&] {
        library_directory = plain_quote.c_str();
        sqlite3* c = store_open_interface("eth0", kOpenWrite);
        store_attach_vendor(c);
    });
    EXPECT_EQ(q.exit_status, 1);
    EXPECT_NE(q.err.find("has not been initialized"), std::string::npos);
}

TEST(StoreAttach, UriCharactersInDirectoryOpenThatDirectoryReadOnly) {
    ScratchDir top;
    for (const char* name : {"a%41b", "what?mode=rwc", "hash#frag", "p%2"}) {
        const std::string directory = top.file(name);
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        make_vendor_db(directory, {{"ma_l", "00:11:22", std::string("Org in ") + name}});
        auto r = run_in_child([&] {
            library_directory = directory.c_str();
            sqlite3* c = store_open_interface("eth0", kOpenWrite);
            store_attach_vendor(c);
            const std::string got = raw_query(c, "SELECT org FROM ma_l");
            std::printf("%s", got.c_str());
            if (sqlite3_exec(c, "DELETE FROM ma_db.ma_l", nullptr, nullptr, nullptr) == SQLITE_OK)
                _exit(3);
        });
        EXPECT_EQ(r.exit_status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, std::string("Org in ") + name);
    }
}

TEST_F(StoreTest, VendorInsertReplacesOnConflictAndWarnsOnFailure) {
    sqlite3* v = store_open_vendor(kOpenWrite);
    vendor_insert(v, "ma_l", "00:11:22", "First");
    vendor_insert(v, "ma_l", "00:11:22", "Second");
    EXPECT_EQ(raw_query(v, "SELECT prefix, org FROM ma_l"), "00:11:22|Second");

    auto r = run_in_child([&] {
        vendor_insert(v, "ma_x", "00:11:22", "Org");
        vendor_insert(v, "ma_l", "00:aa:bb", "Goes on");
        std::printf("%s", raw_query(v, "SELECT org FROM ma_l WHERE prefix = '00:aa:bb'").c_str());
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "ma insert entry failed: no such table: ma_x\n");
    EXPECT_EQ(r.out, "Goes on");
    store_close(v);
}

TEST_F(StoreTest, TransactionsAndResetReportFailuresWithTheirMessages) {
    sqlite3* v = store_open_vendor(kOpenWrite);
    vendor_insert(v, "ma_u", "2", "(private)");
    store_begin(v);
    store_reset_vendor_tables(v);
    vendor_insert(v, "ma_l", "aa:bb:cc", "New");
    store_commit(v);
    EXPECT_EQ(raw_query(v, "SELECT count(*) FROM ma_u"), "0");
    EXPECT_EQ(raw_query(v, "SELECT org FROM ma_l"), "New");

    auto commit = run_in_child([&] { store_commit(v); });
    EXPECT_EQ(commit.exit_status, 1);
    EXPECT_EQ(commit.err, "end transaction failed: cannot commit - no transaction is active\n");

    auto begin = run_in_child([&] {
        store_begin(v);
        store_begin(v);
    });
    EXPECT_EQ(begin.exit_status, 1);
    EXPECT_EQ(begin.err, "begin transaction failed: cannot start a transaction within a transaction\n");

    // Vacuum cannot run inside a transaction: a warning, and the caller goes on.
    auto maintain = run_in_child([&] {
        store_begin(v);
        store_maintain(v);
    });
    EXPECT_EQ(maintain.exit_status, 0);
    EXPECT_EQ(maintain.err, "database vacuum failed: cannot VACUUM from within a transaction\n");
    store_close(v);
}

// Holds a write lock on path from a second process for hold_ms, after
// telling the parent through the returned pipe that it has it.
pid_t hold_write_lock(const std::string& path, int hold_ms, int* ready_fd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        sqlite3* c = nullptr;
        sqlite3_open(path.c_str(), &c);
        sqlite3_exec(c, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        if (write(fds[1], "x", 1) != 1) _exit(2);
        usleep(static_cast<useconds_t>(hold_ms) * 1000);
        sqlite3_exec(c, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(c);
        _exit(0);
    }
    close(fds[1]);
    *ready_fd = fds[0];
    return pid;
}

TEST_F(StoreTest, BusyTimeoutWaitsOutAShortLockButNotALongOne) {
    sqlite3* c = store_open_interface("eth0", kOpenWrite);
    int ready = -1;
    pid_t holder = hold_write_lock(db("eth0"), 500, &ready);
    char byte;
    ASSERT_EQ(read(ready, &byte, 1), 1);
    auto short_lock = run_in_child([&] {
        BindingStatements(c).insert(4, "10.0.0.1", "00:11:22:33:44:55", 100, 1);
    });
    waitpid(holder, nullptr, 0);
    close(ready);
    EXPECT_EQ(short_lock.exit_status, 0);
    EXPECT_EQ(short_lock.err, "");
    EXPECT_EQ(raw_query(db("eth0"), "SELECT count(*) FROM ipmap"), "1");

    holder = hold_write_lock(db("eth0"), 3500, &ready);
    ASSERT_EQ(read(ready, &byte, 1), 1);
    auto long_lock = run_in_child([&] {
        BindingStatements(c).insert(4, "10.0.0.2", "00:11:22:33:44:55", 100, 1);
    });
    waitpid(holder, nullptr, 0);
    close(ready);
    EXPECT_EQ(long_lock.err, "ipmap insert entry failed: database is locked\n");
    store_close(c);
}

}  // namespace
