// Opening interface databases: what each mode creates, what a failed open
// says, and how long a statement waits on another process's lock. (The
// binding statements themselves: tests/records.)
#include "interface_db.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "test_support.h"

using pelorin_test::file_exists;
using pelorin_test::raw_exec;
using pelorin_test::raw_open;
using pelorin_test::raw_query;
using pelorin_test::run_in_child;
using pelorin_test::ScratchDir;

namespace {

class InterfaceDbTest : public ::testing::Test {
   protected:
    std::string db(const std::string& base) const { return dir_.file(base + ".sqlite"); }
    ScratchDir dir_;
    LibraryDir library_{dir_.path().c_str()};
};

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

TEST_F(InterfaceDbTest, WriteModeCreatesSchemaOnceAndKeepsExistingRows) {
    {
        InterfaceDb first(library_, "eth0", OpenMode::write);
        raw_exec(first.raw(),
                 "INSERT INTO ipmap VALUES (4, '10.0.0.1', '00:11:22:33:44:55', 5, 6, 7)");
    }
    { InterfaceDb second(library_, "eth0", OpenMode::write); }

    EXPECT_EQ(raw_query(db("eth0"), "SELECT * FROM ipmap"), "4|10.0.0.1|00:11:22:33:44:55|5|6|7");
    EXPECT_EQ(raw_query(db("eth0"), "SELECT type, name FROM sqlite_master ORDER BY type, name"),
              "index|ipmap_last\ntable|ipmap");
    EXPECT_EQ(raw_query(db("eth0"), "SELECT sql FROM sqlite_master WHERE name = 'ipmap'"),
              "CREATE TABLE ipmap (iptype INTEGER NOT NULL,ipaddr TEXT NOT NULL,hwaddr TEXT NOT "
              "NULL,sec INTEGER NOT NULL,usec INTEGER NOT NULL,utime INTEGER NOT NULL)");
}

// A read-only open that cannot read the file names that file, whatever the
// reason, and creates nothing.
TEST_F(InterfaceDbTest, ReadModeNamesTheInterfaceDatabaseItCannotRead) {
    const auto open_failed = [&](const char* name, const char* reason) {
        return "sqlite3 open of " + db(name) + " failed: " + reason + "\n";
    };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string err;
    };
    const Case cases[] = {
        {"missing0", [] {}, open_failed("missing0", "unable to open database file")},
        {"garbage0", [&] { pelorin_test::write_file(db("garbage0"), std::string(4096, 'x')); },
         open_failed("garbage0", "file is not a database")},
        {"hot0",
         [&] {
             { InterfaceDb made(library_, "hot0", OpenMode::write); }
             // A writer killed in the middle of a transaction; unsynced, its
             // journal is complete, and hot, from the first page written.
             run_in_child([&] {
                 raw_exec(raw_open(db("hot0")),
                          "PRAGMA synchronous = OFF; BEGIN;"
                          "INSERT INTO ipmap VALUES (4, '10.0.0.1', 'x', 1, 2, 3)");
                 _exit(0);
             });
         },
         "interface database " + db("hot0") +
             " holds an unfinished write left by a watcher that was stopped: the next start of "
             "the watcher, or any program allowed to write the file, rolls it back\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const auto r = run_in_child([&] { InterfaceDb(library_, c.name, OpenMode::read); });
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(file_exists(db("missing0")));
    // As the message says, a write open rolls the unfinished write back.
    { InterfaceDb writer(library_, "hot0", OpenMode::write); }
    EXPECT_EQ(raw_query(InterfaceDb(library_, "hot0", OpenMode::read).raw(),
                        "SELECT count(*) FROM ipmap"),
              "0");
}

TEST_F(InterfaceDbTest, ReadModeOpenDoesNotCreateTheSchema) {
    sqlite3* raw = raw_open(db("bare"));
    raw_exec(raw, "CREATE TABLE other (x)");
    sqlite3_close(raw);
    { InterfaceDb ro(library_, "bare", OpenMode::read); }
    EXPECT_EQ(raw_query(db("bare"), "SELECT name FROM sqlite_master"), "other");
}

TEST_F(InterfaceDbTest, WriteModeOfUnwritableFileEndsWithReadOnlyMessage) {
    { InterfaceDb made(library_, "ro0", OpenMode::write); }
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(db("ro0").c_str(), 0444), 0);
    // Root writes any file, so the open runs in a child that gave up root.
    auto r = run_in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        InterfaceDb(library_, "ro0", OpenMode::write);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "sqlite3 open of " + db("ro0") + " failed: read-only database\n");
}

TEST_F(InterfaceDbTest, BusyTimeoutWaitsOutAShortLockButNotALongOne) {
    InterfaceDb c(library_, "eth0", OpenMode::write);
    int ready = -1;
    pid_t holder = hold_write_lock(db("eth0"), 500, &ready);
    char byte;
    ASSERT_EQ(read(ready, &byte, 1), 1);
    EXPECT_TRUE(c.insert(4, "10.0.0.1", "00:11:22:33:44:55", 100, 1)) << c.error_message();
    waitpid(holder, nullptr, 0);
    close(ready);
    EXPECT_EQ(raw_query(db("eth0"), "SELECT count(*) FROM ipmap"), "1");

    // Long enough for the failed insert and the failed read open after it.
    holder = hold_write_lock(db("eth0"), 5000, &ready);
    ASSERT_EQ(read(ready, &byte, 1), 1);
    EXPECT_FALSE(c.insert(4, "10.0.0.2", "00:11:22:33:44:55", 100, 1));
    EXPECT_STREQ(c.error_message(), "database is locked");
    // A reader waits as long, then names the interface database.
    const auto reader = run_in_child([&] { InterfaceDb(library_, "eth0", OpenMode::read); });
    waitpid(holder, nullptr, 0);
    close(ready);
    EXPECT_EQ(reader.exit_status, 1);
    EXPECT_EQ(reader.err, "sqlite3 open of " + db("eth0") + " failed: database is locked\n");
}

}  // namespace
