// The daemon meeting faults of the host: a library directory it cannot
// write, an interface that goes away, a notify command that looks at its
// open descriptors, and a second daemon started on the same interface.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "frame_builder.h"
#include "netns_fixture.h"
#include "store.h"
#include "test_support.h"

namespace {

namespace fb = pelorin_frames;
using pelorin_e2e::kCaptureInterface;
using pelorin_e2e::NamespacedProcess;
using pelorin_e2e::process_alive;
using pelorin_e2e::TestNamespace;
using pelorin_e2e::wait_until;
using pelorin_test::built_program;
using pelorin_test::file_exists;
using pelorin_test::read_file;
using pelorin_test::ScratchDir;
using pelorin_test::write_file;

bool exited_with(const std::optional<int>& status, int code) {
    return status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

class DaemonFaults : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
        pelorin_e2e::become_subreaper();
        ns_ = std::make_unique<TestNamespace>();
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        pelorin_test::make_vendor_db(dir_.path(), {{"ma_l", "02:00:00", "Probe Makers"}});
    }

    // pelorin, or the given wrapper followed by pelorin, with the library
    // directory set and the interface as the operand.
    NamespacedProcess& start(std::vector<std::string> options,
                             std::vector<std::string> wrapper = {}) {
        options.insert(options.begin(), {"-L", dir_.path()});
        options.push_back(kCaptureInterface);
        std::string program = built_program("pelorin");
        if (!wrapper.empty()) {
            options.insert(options.begin(), program);
            options.insert(options.begin(), wrapper.begin() + 1, wrapper.end());
            program = wrapper.front();
        }
        processes_.push_back(
            std::make_unique<NamespacedProcess>(*ns_, program, options, output_.path()));
        return *processes_.back();
    }

    // Sends first sightings until the daemon announces one.
    bool sees_new_binding(const NamespacedProcess& daemon) {
        const int first = serial_ + 1;
        return wait_until([&] {
            const int n = ++serial_;
            const std::string ip = "169.254.3." + std::to_string(n % 250 + 1);
            char mac[18];
            std::snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", n / 256, n % 256);
            ns_->inject(fb::arp_request(fb::mac(mac), fb::ipv4(ip), fb::ipv4("169.254.3.254")));
            for (int i = first; i <= n; ++i) {
                char seen[18];
                std::snprintf(seen, sizeof seen, "02:00:00:00:%02x:%02x", i / 256, i % 256);
                if (daemon.err().find(std::string(" to ") + seen + "\n") != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }

    std::string database() const { return dir_.file(std::string(kCaptureInterface) + ".sqlite"); }

    ScratchDir dir_;
    ScratchDir output_;
    std::unique_ptr<TestNamespace> ns_;
    std::vector<std::unique_ptr<NamespacedProcess>> processes_;
    int serial_ = 0;
};

// Root passes every permission check, so the daemon runs without the
// capabilities that let it; it keeps the one it needs to capture.
const std::vector<std::string> kWithoutDacOverride = {
    "/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};

TEST_F(DaemonFaults, LibraryDirectoryThatTakesNoNewFileIsRefusedAtStart) {
    struct Case {
        const char* name;
        bool database_exists;
        std::string err;
    };
    const Case cases[] = {
        {"database file writable, directory not", true,
         "library directory " + dir_.path() + " is not writable: Permission denied\n"},
        {"no database yet", false,
         "sqlite3 open of " + database() + " failed: unable to open database file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
        std::remove(database().c_str());
        if (c.database_exists) {
            sqlite3* made = pelorin_test::raw_open(database());
            pelorin_test::raw_exec(made, kInterfaceSchema);
            sqlite3_close(made);
        }
        ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
        NamespacedProcess& daemon = start({"-f"}, kWithoutDacOverride);
        EXPECT_TRUE(exited_with(daemon.wait_exit(), 1)) << daemon.err();
        EXPECT_EQ(daemon.err(), c.err);
    }
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    // The same daemon runs once the directory takes files again.
    NamespacedProcess& daemon = start({"-f"}, kWithoutDacOverride);
    EXPECT_TRUE(sees_new_binding(daemon)) << daemon.err();
}

TEST_F(DaemonFaults, InterfaceDownAndUpKeepsCapturingAndADeletedOneEndsWithStatusOne) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(sees_new_binding(daemon)) << daemon.err();
    const std::string ip = "/usr/sbin/ip";
    ASSERT_EQ(pelorin_e2e::run_command({ip, "-n", ns_->name(), "link", "set", kCaptureInterface, "down"}), 0);
    ASSERT_EQ(pelorin_e2e::run_command({ip, "-n", ns_->name(), "link", "set", kCaptureInterface, "up"}), 0);
    EXPECT_TRUE(sees_new_binding(daemon)) << daemon.err();
    EXPECT_TRUE(process_alive(daemon.pid()));

    ASSERT_EQ(pelorin_e2e::run_command({ip, "-n", ns_->name(), "link", "del", kCaptureInterface}), 0);
    EXPECT_TRUE(exited_with(daemon.wait_exit(), 1)) << daemon.err();
    const std::string err = daemon.err();
    const std::size_t last = err.rfind("\n", err.size() - 2);
    const std::string last_line = err.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_EQ(last_line.rfind("capture ended: ", 0), 0U) << err;
    EXPECT_GT(last_line.size(), std::string("capture ended: \n").size()) << err;
}

TEST_F(DaemonFaults, NotifyCommandInheritsOnlyTheStandardStreams) {
    // Lists the descriptors it was started with: those still open once the
    // listing's own descriptor is closed again.
    const std::string listing = output_.file("descriptors");
    write_file(dir_.file("notify.sh"),
               "#!/usr/bin/python3\nimport os\n"
               "fds = [f for f in os.listdir('/proc/self/fd') if os.path.exists('/proc/self/fd/' + f)]\n"
               "with open('" + listing + ".part', 'w') as out:\n"
               "    for f in sorted(fds, key=int):\n"
               "        out.write(f + ' ' + os.readlink('/proc/self/fd/' + f) + '\\n')\n"
               "os.rename('" + listing + ".part', '" + listing + "')\n");
    ASSERT_EQ(chmod(dir_.file("notify.sh").c_str(), 0755), 0);
    NamespacedProcess& daemon = start({"-f", "-n", dir_.file("notify.sh")});
    ASSERT_TRUE(sees_new_binding(daemon)) << daemon.err();
    ASSERT_TRUE(wait_until([&] { return file_exists(listing); })) << daemon.err();
    const std::string text = read_file(listing);
    std::vector<std::string> descriptors;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        descriptors.push_back(text.substr(at, text.find(' ', at) - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"})) << text;
}

TEST_F(DaemonFaults, SecondDaemonOnOneInterfaceIsRefusedAndAKilledOneBlocksNoRestart) {
    struct Case {
        const char* name;
        bool detach;
    };
    for (const Case& c : {Case{"foreground", false}, Case{"detached", true}}) {
        SCOPED_TRACE(c.name);
        const std::string first_pid_file = output_.file(std::string(c.name) + "-1.pid");
        std::vector<std::string> first_options{"-p", first_pid_file};
        if (!c.detach) first_options.push_back("-f");
        NamespacedProcess& first = start(first_options);
        pid_t holder = first.pid();
        if (c.detach) {
            EXPECT_TRUE(exited_with(first.wait_exit(), 0)) << first.err();
            ASSERT_TRUE(wait_until([&] { return read_file(first_pid_file).size() > 1; }));
            holder = std::stoi(read_file(first_pid_file));
        }
        ASSERT_TRUE(sees_new_binding(first)) << first.err();

        std::vector<std::string> second_options{"-p", output_.file(std::string(c.name) + "-2.pid")};
        if (!c.detach) second_options.push_back("-f");
        NamespacedProcess& second = start(second_options);
        EXPECT_TRUE(exited_with(second.wait_exit(), 1)) << second.err();
        EXPECT_EQ(second.err(), "interface database " + database() + " is in use by process " +
                                    std::to_string(holder) + "\n");

        // Killed outright, the first leaves its lock file behind; the lock
        // itself went with the process.
        ASSERT_EQ(kill(holder, SIGKILL), 0);
        if (c.detach) {
            EXPECT_TRUE(pelorin_e2e::wait_for_orphan(holder).has_value());
        } else {
            EXPECT_TRUE(first.wait_exit().has_value());
        }
        EXPECT_TRUE(file_exists(dir_.file(std::string(kCaptureInterface) + ".lock")));
        NamespacedProcess& restarted = start({"-f"});
        EXPECT_TRUE(sees_new_binding(restarted)) << restarted.err();
        kill(restarted.pid(), SIGTERM);
        EXPECT_TRUE(exited_with(restarted.wait_exit(), 0)) << restarted.err();
    }
}

}  // namespace
