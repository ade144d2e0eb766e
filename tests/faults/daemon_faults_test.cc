// The daemon meeting faults of the host: a library directory it cannot
// write, an interface that goes away, a notify command that looks at its
// open descriptors, and a second daemon started on the same interface.
#include <signal.h>

#include "fault_fixture.h"
#include "store.h"

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

TEST_F(DaemonFaults, InterfaceDownAndUpKeepsCapturingAndADeletedOneEndsWithStatusOne) {
    auto& daemon = start({"-f"});
    ASSERT_TRUE(announces_new_binding(daemon)) << daemon.err();
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
