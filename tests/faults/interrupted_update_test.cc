// The vendor updater interrupted at many points of its run by every signal
// that ends a process: after each kill, the readers of the vendor database
// (the lookup tool as root and as an unprivileged user, the query tool, a
// daemon starting and a daemon already running) must work with content that
// is entirely the old or entirely the new one, and the next run must finish.
#include <grp.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "fault_fixture.h"

namespace {

using pelorin_e2e::kCaptureInterface;
using pelorin_test::built_program;
using pelorin_test::ChildResult;
using pelorin_test::file_exists;
using pelorin_test::read_file;
using pelorin_test::run_program;
using pelorin_test::write_file;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
// A block whose holder tells the two contents apart.
constexpr const char* kMarkerBlock = "f0:f0:f0";
constexpr const char* kMarkerMac = "f0:f0:f0:00:00:01";
constexpr const char* kOldHolder = "Old Marker Holder";
constexpr const char* kNewHolder = "New Marker Holder";

// Reads what a reader that cannot roll back a journal reads.
std::string content_of(const std::string& db) {
    sqlite3* ro = nullptr;
    std::string text = "unreadable";
    if (sqlite3_open_v2(db.c_str(), &ro, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        text = pelorin_test::raw_query(
            ro,
            "SELECT (SELECT count(*) FROM ma_l), (SELECT count(*) FROM ma_m), "
            "(SELECT count(*) FROM ma_s), (SELECT count(*) FROM ma_u), "
            "(SELECT org FROM ma_l WHERE prefix = 'f0:f0:f0')");
    }
    sqlite3_close(ro);
    return text;
}

pid_t start_updater(const std::string& library) {
    const std::string program = built_program("pelorin-update-ma");
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        execl(program.c_str(), program.c_str(), "-D", "-L", library.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

class InterruptedUpdate : public pelorin_faults::FaultTest {
   protected:
    void SetUp() override {
        FaultTest::SetUp();
        for (const char* name : {"oui.csv", "mam.csv", "oui36.csv"}) {
            real_.push_back(read_file(std::string("/usr/share/ieee-data/") + name));
        }
    }

    // The real registries, with the marker block and, in the new content,
    // one row more, so both the holder and the row count tell them apart.
    void place_registries(bool newer) {
        const std::string tail = std::string("MA-L,F0F0F0,") + (newer ? kNewHolder : kOldHolder) +
                                 ",Street\r\n" + (newer ? "MA-L,F0F0F1,Extra Holder,Street\r\n" : "");
        write_file(dir_.file("ma_l.csv"), real_[0] + tail);
        write_file(dir_.file("ma_m.csv"), real_[1]);
        write_file(dir_.file("ma_s.csv"), real_[2]);
    }

    std::string vendor_db() const { return dir_.file("ma_db.sqlite"); }

    ChildResult lookup_as_nobody() const {
        const std::string program = built_program("pelorin-lookup-ma");
        const std::string library = dir_.path();
        return pelorin_test::run_in_child([&] {
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(99);
            execl(program.c_str(), program.c_str(), "-L", library.c_str(), kMarkerMac,
                  static_cast<char*>(nullptr));
            _exit(127);
        });
    }

    std::vector<std::string> real_;
};

TEST_F(InterruptedUpdate, EveryReaderKeepsWorkingAndTheNextRunCompletes) {
    // Old content, and the length of one whole run to spread the kills over.
    place_registries(true);
    ASSERT_EQ(wait_status(start_updater(dir_.path())), 0);
    const std::string new_content = content_of(vendor_db());
    place_registries(false);
    const auto started = Clock::now();
    ASSERT_EQ(wait_status(start_updater(dir_.path())), 0);
    const auto run_length = Clock::now() - started;
    const std::string old_content = content_of(vendor_db());
    ASSERT_NE(old_content, new_content);
    ASSERT_NE(old_content.find(kOldHolder), std::string::npos) << old_content;

    // The notify command records the holder the daemon looked up, per address.
    write_file(dir_.file("notify.sh"),
               "#!/bin/sh\necho \"$6\" > " + output_.file("holder-") + "\"$4\"\n");
    ASSERT_EQ(chmod(dir_.file("notify.sh").c_str(), 0755), 0);
    const std::vector<std::string> daemon_options = {"-f", "-n", dir_.file("notify.sh")};
    auto& running = start(daemon_options);
    ASSERT_TRUE(announces_new_binding(running, kMarkerBlock)) << running.err();

    const int signals[] = {SIGKILL, SIGTERM, SIGINT, SIGHUP};
    constexpr int kKills = 24;
    bool newer = false;
    std::string content = old_content;
    for (int i = 0; i < kKills; ++i) {
        const int signal_number = signals[i % 4];
        SCOPED_TRACE("kill " + std::to_string(i) + " with signal " + std::to_string(signal_number));
        newer = !newer;
        place_registries(newer);
        const std::string before = content;
        const std::string target = newer ? new_content : old_content;

        // Left by an earlier SIGKILL, it goes only once this run gets going.
        const bool stale = file_exists(dir_.file("ma_db.tmp"));
        const pid_t updater = start_updater(dir_.path());
        const auto delay = run_length * (2 * i + 1) / (2 * kKills);
        std::this_thread::sleep_for(delay);
        kill(updater, signal_number);
        const int status = wait_status(updater);
        const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ASSERT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == signal_number))
            << "wait status " << status;
        if (signal_number != SIGKILL && !finished && !stale) {
            EXPECT_FALSE(file_exists(dir_.file("ma_db.tmp")));
            EXPECT_FALSE(file_exists(dir_.file("ma_db.tmp-journal")));
        }

        content = content_of(vendor_db());
        ASSERT_TRUE(content == before || content == target) << content;
        const std::string holder =
            std::string(content.find(kNewHolder) != std::string::npos ? kNewHolder : kOldHolder) +
            "\n";

        const ChildResult root_lookup =
            run_program({built_program("pelorin-lookup-ma"), "-L", dir_.path(), kMarkerMac});
        EXPECT_EQ(root_lookup.exit_status, 0) << root_lookup.err;
        EXPECT_EQ(root_lookup.out, holder);
        const ChildResult user_lookup = lookup_as_nobody();
        EXPECT_EQ(user_lookup.exit_status, 0) << user_lookup.err;
        EXPECT_EQ(user_lookup.out, holder);

        // A daemon starting now, on the other end of the pair, and the one
        // that has been running all along: both announce a new sighting.
        auto& starting = start(daemon_options, pelorin_e2e::kInjectInterface);
        EXPECT_TRUE(announces_new_binding(starting, kMarkerBlock)) << starting.err();
        kill(starting.pid(), SIGTERM);
        EXPECT_TRUE(pelorin_faults::exited_with(starting.wait_exit(), 0)) << starting.err();
        EXPECT_TRUE(announces_new_binding(running, kMarkerBlock)) << running.err();

        // In the namespace: the report looks host names up, and there the
        // resolver is 127.0.0.1.
        const ChildResult query = run_program({"/usr/sbin/ip", "netns", "exec", ns_->name(),
                                               built_program("pelorin-query"), "-L", dir_.path(),
                                               kCaptureInterface});
        EXPECT_EQ(query.exit_status, 0) << query.err;
        EXPECT_NE(query.out.find(holder.substr(0, holder.size() - 1)), std::string::npos)
            << query.out;
    }

    // The next run finishes and clears what a killed one left behind.
    place_registries(true);
    ASSERT_EQ(wait_status(start_updater(dir_.path())), 0);
    EXPECT_EQ(content_of(vendor_db()), new_content);
    EXPECT_FALSE(file_exists(dir_.file("ma_db.tmp")));
    EXPECT_FALSE(file_exists(dir_.file("ma_db.tmp-journal")));
    EXPECT_FALSE(file_exists(dir_.file("ma_db.sqlite-journal")));
    EXPECT_EQ(pelorin_test::raw_query(vendor_db(), "PRAGMA integrity_check"), "ok");

    // The daemon that started with the old file looks holders up in the new.
    ASSERT_TRUE(announces_new_binding(running, kMarkerBlock));
    const std::string err = running.err();
    const std::size_t line = err.rfind("IP address ") + 11;
    const std::string holder_file = output_.file("holder-" + err.substr(line, err.find(' ', line) - line));
    // The shell creates the file before it writes the line: wait for the line.
    EXPECT_TRUE(pelorin_e2e::wait_until([&] {
        const std::string text = read_file(holder_file);
        return !text.empty() && text.back() == '\n';
    }));
    EXPECT_EQ(read_file(holder_file), std::string(kNewHolder) + "\n");
}

// The timer's run and one started by hand at the same moment: each must
// finish, and what is in place is always a whole database.
TEST_F(InterruptedUpdate, RunsStartedTogetherBothCompleteWithAWholeDatabase) {
    place_registries(false);
    ASSERT_EQ(wait_status(start_updater(dir_.path())), 0);
    const std::string content = content_of(vendor_db());
    for (int round = 0; round < 3; ++round) {
        const pid_t first = start_updater(dir_.path());
        const pid_t second = start_updater(dir_.path());
        EXPECT_EQ(wait_status(first), 0);
        EXPECT_EQ(wait_status(second), 0);
        EXPECT_EQ(content_of(vendor_db()), content);
        EXPECT_EQ(pelorin_test::raw_query(vendor_db(), "PRAGMA integrity_check"), "ok");
        EXPECT_FALSE(file_exists(dir_.file("ma_db.tmp")));
    }
}

}  // namespace
