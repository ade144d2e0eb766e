// The daemon meeting faults of the host: a library directory it cannot
// write, an interface that goes away, a notify command that looks at its
// open descriptors, and a second daemon started on the same interface.
#include <signal.h>
#include <sys/wait.h>

#include <sstream>

#include "fault_fixture.h"
#include "interface_db.h"
#include "vendor_db.h"

namespace {

using pelorin_e2e::kCaptureInterface;
using pelorin_e2e::run_command;
using pelorin_e2e::wait_until;
using pelorin_faults::exited_with;
using pelorin_test::file_exists;
using pelorin_test::read_file;
using pelorin_test::write_file;

class DaemonFaults : public pelorin_faults::FaultTest {
   protected:
    void SetUp() override {
        FaultTest::SetUp();
        if (!IsSkipped()) pelorin_test::make_vendor_db(dir_.path(), {});
    }
};

TEST_F(DaemonFaults, LibraryDirectoryThatTakesNoNewFileIsRefusedAtStart) {
    // Root passes every permission check, so the daemon runs without the
    // capabilities that let it; it keeps the one it needs to capture.
    const std::vector<std::string> unprivileged = {
        "/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    // The database file is there and writable; only its directory is not.
    sqlite3* made = pelorin_test::raw_open(database());
    pelorin_test::raw_exec(made, kInterfaceSchema);
    sqlite3_close(made);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
    auto& refused = start({"-f"}, kCaptureInterface, unprivileged);
    EXPECT_TRUE(exited_with(refused.wait_exit(), 1)) << refused.err();
    EXPECT_EQ(refused.err(),
              "library directory " + dir_.path() + " is not writable: Permission denied\n");

    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    auto& daemon = start({"-f"}, kCaptureInterface, unprivileged);
    EXPECT_TRUE(announces_new_binding(daemon)) << daemon.err();
}

// The capability sets and no-new-privileges flag of a running process.
std::string privileges_of(pid_t pid) {
    std::string found;
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        for (const char* field : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:", "NoNewPrivs:"}) {
            if (line.rfind(field, 0) == 0) found += line + "\n";
        }
    }
    return found;
}

TEST_F(DaemonFaults, InterfaceDownAndUpKeepsCapturingAndADeletedOneEndsWithStatusOne) {
    // As root, and as the unit runs it: an unprivileged user with CAP_NET_RAW
    // as its one (ambient) capability, which it gives up with every other
    // once the capture is open.
    const struct {
        const char* name;
        std::vector<std::string> wrapper;
        const char* privileges;  // after start-up; empty: not checked
    } identities[] = {
        // First, so that it creates the files it must be able to write.
        {"the unit's user",
         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
          "--inh-caps=+net_raw", "--ambient-caps=+net_raw", "--"},
         "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
         "CapAmb:\t0000000000000000\nNoNewPrivs:\t1\n"},
        {"root", {}, ""},
    };
    ASSERT_EQ(chown(dir_.path().c_str(), 65534, 65534), 0);
    for (const auto& identity : identities) {
        SCOPED_TRACE(identity.name);
        if (processes_.size() > 0) {
            // The last interface is gone: a namespace of its own.
            processes_.clear();
            ns_ = std::make_unique<pelorin_e2e::TestNamespace>();
            ASSERT_TRUE(ns_->ok()) << ns_->error();
        }
        auto& daemon = start({"-f"}, kCaptureInterface, identity.wrapper);
        ASSERT_TRUE(announces_new_binding(daemon)) << daemon.err();
        if (identity.privileges[0] != '\0') {
            EXPECT_EQ(privileges_of(daemon.pid()), identity.privileges);
        }
        const std::vector<std::string> link = {"/usr/sbin/ip", "-n", ns_->name(), "link"};
        const auto on_link = [&](std::vector<std::string> words) {
            words.insert(words.begin(), link.begin(), link.end());
            return run_command(words);
        };
        ASSERT_EQ(on_link({"set", kCaptureInterface, "down"}), 0);
        ASSERT_EQ(on_link({"set", kCaptureInterface, "up"}), 0);
        EXPECT_TRUE(announces_new_binding(daemon)) << daemon.err();

        ASSERT_EQ(on_link({"del", kCaptureInterface}), 0);
        EXPECT_TRUE(exited_with(daemon.wait_exit(), 1)) << daemon.err();
        const std::string err = daemon.err();
        const std::string last_line = err.substr(err.rfind('\n', err.size() - 2) + 1);
        EXPECT_EQ(last_line.rfind("capture ended: ", 0), 0U) << err;
        EXPECT_GT(last_line.size(), std::string("capture ended: \n").size()) << err;
    }
}

// A writer killed in the middle of a write (a crash, the OOM killer, a
// power cut) leaves a journal that a read-only reader may not roll back:
// the readers name the interface database, not the vendor database, and
// the next writer's open rolls the journal back.
TEST(ReaderFaults, UnfinishedWriteIsBlamedOnTheInterfaceDatabaseAndRolledBackByAWriter) {
    pelorin_test::ScratchDir dir;
    pelorin_test::make_vendor_db(dir.path(), {{"ma_l", "00:11:22", "Alpha Org"}});
    const std::string database = dir.file("eth0.sqlite");
    sqlite3* made = pelorin_test::raw_open(database);
    pelorin_test::raw_exec(made, kInterfaceSchema);
    pelorin_test::raw_exec(made, "INSERT INTO ipmap VALUES (4,'10.0.0.1','00:11:22:33:44:55',"
                                 "1800000000,0,1800000000)");
    sqlite3_close(made);
    const pid_t writer = fork();
    if (writer == 0) {
        sqlite3* db = pelorin_test::raw_open(database);
        // A small cache, so that the transaction's pages reach the file.
        pelorin_test::raw_exec(db, "PRAGMA cache_size=1; BEGIN IMMEDIATE");
        for (int i = 0; i < 2000; ++i) {
            pelorin_test::raw_exec(db, "INSERT INTO ipmap VALUES (4,'10.1." + std::to_string(i) +
                                           "','00:11:22:33:44:55',1800000001,0,1800000001)");
        }
        raise(SIGKILL);
    }
    waitpid(writer, nullptr, 0);
    ASSERT_TRUE(file_exists(database + "-journal"));

    const std::string unfinished =
        "interface database " + database +
        " holds an unfinished write left by a watcher that was stopped: the next start of the "
        "watcher, or any program allowed to write the file, rolls it back\n";
    const pelorin_test::ScratchDir pages;
    for (const std::vector<std::string>& reader :
         {std::vector<std::string>{pelorin_test::built_program("pelorin-query"), "-L", dir.path(),
                                   "eth0"},
          std::vector<std::string>{pelorin_test::built_program("pelorin-html"), "-L", dir.path(),
                                   pages.path()}}) {
        SCOPED_TRACE(reader[0]);
        const auto result = pelorin_test::run_program(reader);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, unfinished);
    }
    // The vendor database was never at fault.
    const auto lookup = pelorin_test::run_program(
        {pelorin_test::built_program("pelorin-lookup-ma"), "-L", dir.path(), "00:11:22:00:00:01"});
    EXPECT_EQ(lookup.out, "Alpha Org\n");

    // What the watcher does at its start: a read-write open.
    { const InterfaceDb writer_open(LibraryDir(dir.path().c_str()), "eth0", OpenMode::write); }
    const auto after = pelorin_test::run_program(
        {pelorin_test::built_program("pelorin-query"), "-L", dir.path(), "eth0"});
    EXPECT_EQ(after.exit_status, 0) << after.err;
    EXPECT_NE(after.out.find(" 10.0.0.1 00:11:22:33:44:55 Alpha Org\n"), std::string::npos)
        << after.out;
    EXPECT_EQ(after.out.find("10.1."), std::string::npos);
}

TEST_F(DaemonFaults, NotifyCommandInheritsOnlyTheStandardStreams) {
    // Lists the descriptors it started with: those still open once the
    // listing's own descriptor is closed again.
    const std::string listing = output_.file("descriptors");
    write_file(dir_.file("notify"),
               "#!/usr/bin/python3\nimport os\n"
               "fds = [f for f in os.listdir('/proc/self/fd') if os.path.exists('/proc/self/fd/' + f)]\n"
               "with open('" + listing + ".part', 'w') as out:\n"
               "    out.write(' '.join(sorted(fds, key=int)))\n"
               "os.rename('" + listing + ".part', '" + listing + "')\n");
    ASSERT_EQ(chmod(dir_.file("notify").c_str(), 0755), 0);
    auto& daemon = start({"-f", "-n", dir_.file("notify")});
    ASSERT_TRUE(announces_new_binding(daemon)) << daemon.err();
    ASSERT_TRUE(wait_until([&] { return file_exists(listing); })) << daemon.err();
    EXPECT_EQ(read_file(listing), "0 1 2");
}

TEST_F(DaemonFaults, SecondDaemonOnOneInterfaceIsRefusedAndAKilledOneBlocksNoRestart) {
    for (const bool detach : {false, true}) {
        SCOPED_TRACE(detach ? "detached" : "foreground");
        const std::string pid_file = output_.file(std::to_string(detach) + ".pid");
        std::vector<std::string> options{"-p", pid_file};
        if (!detach) options.push_back("-f");
        auto& first = start(options);
        pid_t holder = first.pid();
        if (detach) {
            EXPECT_TRUE(exited_with(first.wait_exit(), 0)) << first.err();
            ASSERT_TRUE(wait_until([&] { return read_file(pid_file).size() > 1; }));
            holder = std::stoi(read_file(pid_file));
        }
        ASSERT_TRUE(announces_new_binding(first)) << first.err();

        // Another pid file, so only the interface lock can tell.
        options[1] += ".second";
        auto& second = start(options);
        EXPECT_TRUE(exited_with(second.wait_exit(), 1)) << second.err();
        EXPECT_EQ(second.err(), "interface database " + database() + " is in use by process " +
                                    std::to_string(holder) + "\n");

        // Killed outright, the first leaves its lock file but not its lock.
        ASSERT_EQ(kill(holder, SIGKILL), 0);
        EXPECT_TRUE(detach ? pelorin_e2e::wait_for_orphan(holder).has_value()
                           : first.wait_exit().has_value());
        EXPECT_TRUE(file_exists(dir_.file(std::string(kCaptureInterface) + ".lock")));
        auto& restarted = start({"-f"});
        EXPECT_TRUE(announces_new_binding(restarted)) << restarted.err();
        kill(restarted.pid(), SIGTERM);
        EXPECT_TRUE(exited_with(restarted.wait_exit(), 0)) << restarted.err();
    }
}

}  // namespace
