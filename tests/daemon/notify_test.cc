// Change notification: the warning, the nine-entry argument vector the
// notify command receives, organisation lookups only when a command is set,
// the execv failure, the date placeholder, and a notify child that a
// termination signal simply ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_test_util.h"
#include "lifecycle.h"
#include "notify.h"
#include "pid_file.h"
#include "settings.h"
#include "store.h"

using namespace daemon_test;

namespace {

// A notify command that appends its arguments, joined by "|", as one line.
std::string make_recorder(const Library& lib) {
    const std::string path = lib.dir() + "/record-args";
    pelorin_test::write_file(path,
                             "#!/bin/sh\nline=$(printf '%s|' \"$@\")\necho \"$line\" >> " +
                                 lib.dir() + "/calls\n");
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> wait_for_calls(const Library& lib, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> lines;
    while (std::chrono::steady_clock::now() < deadline) {
        lines.clear();
        std::istringstream in(pelorin_test::read_file(lib.dir() + "/calls"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        if (lines.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

Captured arp_at(const Mac& mac, std::array<std::uint8_t, 4> ip, std::int64_t sec) {
    ArpFields f;
    f.source = f.sender_mac = mac;
    f.sender_ip = ip;
    return {arp_frame(f), sec};
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            found.push_back(pid);
        }
    }
    closedir(proc);
    return found;
}

}  // namespace

TEST(Notify, CommandReceivesTheNineEntryVector) {
    Library lib;
    const std::string recorder = make_recorder(lib);
    // 1 February 2024 00:00:05 UTC, then a change eight seconds later.
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        setenv("TZ", "UTC", 1);
        tzset();
        settings.notify_command = recorder.c_str();
        settings.interface_name = kInterface;
        feed(arp_at(kMacA, {169, 254, 7, 7}, 1'706'745'605));
        feed(arp_at(kMacB, {169, 254, 7, 7}, 1'706'745'613));
        ArpFields unknown;
        unknown.source = unknown.sender_mac = {0x00, 0x99, 0x99, 0x01, 0x02, 0x03};
        unknown.sender_ip = {169, 254, 7, 8};
        feed({arp_frame(unknown), 1'706'745'620});
        NdFields nd;
        feed({nd_frame(nd), 1'706'745'630});
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err,
              "IP address 169.254.7.7 changed from (none) to 00:11:22:33:44:55\n"
              "IP address 169.254.7.7 changed from 00:11:22:33:44:55 to 00:aa:bb:cc:dd:ee\n"
              "IP address 169.254.7.8 changed from (none) to 00:99:99:01:02:03\n"
              "IP address fe80::1 changed from (none) to 00:11:22:33:44:55\n");
    const std::string cmd = recorder + "|";
    EXPECT_EQ(wait_for_calls(lib, 4),
              (std::vector<std::string>{
                  "2024-02-01 00:00:05|eth-test|(link-local)|169.254.7.7|00:11:22:33:44:55|Alpha "
                  "Org|(none)|(none)|",
                  "2024-02-01 00:00:13|eth-test|(link-local)|169.254.7.7|00:aa:bb:cc:dd:ee|Beta "
                  "Org|00:11:22:33:44:55|Alpha Org|",
                  "2024-02-01 00:00:20|eth-test|(link-local)|169.254.7.8|00:99:99:01:02:03|(unknown)|"
                  "(none)|(none)|",
                  "2024-02-01 00:00:30|eth-test|(link-local)|fe80::1|00:11:22:33:44:55|Alpha "
                  "Org|(none)|(none)|",
              }));
}

TEST(Notify, WithoutCommandOnlyWarnsAndLooksNothingUp) {
    // No vendor database attached: any organisation lookup would be fatal.
    Library lib;
    const auto quiet = pelorin_test::run_in_child([&] {
        library_directory = lib.dir().c_str();
        sqlite3* db = store_open_interface(kInterface, kOpenWrite);
        const unsigned char addr[4] = {169, 254, 1, 1};
        notify_change(db, {1'700'000'000, 0}, AF_INET, addr, "169.254.1.1", "00:11:22:33:44:55",
                      "00:aa:bb:cc:dd:ee");
    });
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(quiet.err,
              "IP address 169.254.1.1 changed from 00:aa:bb:cc:dd:ee to 00:11:22:33:44:55\n");

    const auto looked_up = pelorin_test::run_in_child([&] {
        library_directory = lib.dir().c_str();
        settings.notify_command = "/bin/true";
        sqlite3* db = store_open_interface(kInterface, kOpenWrite);
        const unsigned char addr[4] = {169, 254, 1, 1};
        notify_change(db, {1'700'000'000, 0}, AF_INET, addr, "169.254.1.1", "00:11:22:33:44:55",
                      "(none)");
    });
    EXPECT_EQ(looked_up.exit_status, 1);
    EXPECT_NE(looked_up.err.find("query ma prepare failed: no such table: ma_s\n"),
              std::string::npos)
        << looked_up.err;
}

TEST(Notify, ExecFailureIsWarnedByTheChildWhileTheDaemonGoesOn) {
    Library lib;
    for (const std::string& command : {lib.dir() + "/missing", std::string("sh")}) {
        SCOPED_TRACE(command);
        const auto result = as_daemon(lib, [&](sqlite3* db) {
            // A bare name is a file in the working directory, never searched
            // for along PATH.
            if (chdir(lib.dir().c_str()) != 0) std::abort();
            settings.notify_command = command.c_str();
            feed(arp_at(kMacA, {169, 254, 3, 1}, 1'800'000'000));
            feed(arp_at(kMacA, {169, 254, 3, 2}, 1'800'000'001));
            std::printf("daemon went on\n");
        });
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, "daemon went on\n");
        // The children inherit standard error, so their warnings show up
        // here once they have ended.
        EXPECT_EQ(count_of(result.err, "execv failed: No such file or directory\n"), 2)
            << result.err;
        EXPECT_EQ(pelorin_test::raw_query(lib.db_path(),
                                          "SELECT count(*) FROM ipmap WHERE ipaddr LIKE '169.254.3.%'"),
                  "2");
        pelorin_test::raw_query(lib.db_path(), "DELETE FROM ipmap");
    }
}

TEST(Notify, UnconvertibleCaptureTimeGivesThePlaceholder) {
    const auto result = pelorin_test::run_in_child([] {
        setenv("TZ", "UTC", 1);
        tzset();
        char text[71];
        format_capture_time(1'706'745'605, text, sizeof text);
        std::printf("%s\n", text);
        format_capture_time(INT64_MAX, text, sizeof text);
        std::printf("%s\n", text);
        format_capture_time(INT64_MIN, text, sizeof text);
        std::printf("%s\n", text);
        // A year that fits the conversion but not "year + 1900" as an int.
        format_capture_time(static_cast<std::int64_t>(INT_MAX - 1000) * 31'556'952, text,
                            sizeof text);
        std::printf("%.10s\n", text);
        format_capture_time(0, text, sizeof text);
        std::printf("%s\n", text);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out,
              "2024-02-01 00:00:05\n0000-00-00 00:00:00\n0000-00-00 00:00:00\n2147484616\n"
              "1970-01-01 00:00:00\n");
}

TEST(Notify, TerminationSignalEndsTheChildNotTheDaemonsPidFile) {
    Library lib;
    const std::string recorder = make_recorder(lib);
    const std::string pid_path = lib.dir() + "/pelorin.pid";
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        settings.pid_file = pid_path.c_str();
        settings.notify_command = recorder.c_str();
        write_pid_file(claim_pid_file(pid_path.c_str()), pid_path.c_str());
        install_signal_handlers(nullptr);
        const unsigned char addr[4] = {169, 254, 9, 9};
        notify_change(db, {1'800'000'000, 0}, AF_INET, addr, "169.254.9.9", "00:11:22:33:44:55",
                      "(none)");
        const std::vector<pid_t> children = children_of(getpid());
        if (children.size() != 1) std::abort();
        // The child is in its one-second wait.
        kill(children[0], SIGTERM);
        // SIGCHLD is ignored: waitpid returns once the child has ended.
        waitpid(-1, nullptr, 0);
        std::printf("pid file %s\n", access(pid_path.c_str(), F_OK) == 0 ? "kept" : "gone");
        std::printf("daemon signal %d\n", pending_exit_signal());
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "pid file kept\ndaemon signal 0\n");
    EXPECT_EQ(result.err, "IP address 169.254.9.9 changed from (none) to 00:11:22:33:44:55\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(pelorin_test::file_exists(lib.dir() + "/calls"));
}

TEST(Notify, AtMostKCommandsRunAndAFullQueueDropsTheNewestWithAWarning) {
    Library lib;
    const std::string recorder = make_recorder(lib);
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        settings.notify_command = recorder.c_str();
        settings.interface_name = kInterface;
        notify_set_limits(2, 3);
        for (unsigned char i = 0; i < 7; ++i) {
            const unsigned char addr[4] = {169, 254, 8, i};
            const std::string ip = "169.254.8." + std::to_string(i);
            notify_change(db, {1'800'000'000 + i, 0}, AF_INET, addr, ip.c_str(),
                          "00:11:22:33:44:55", "(none)");
        }
        std::size_t peak = notify_children();
        std::printf("running %zu\n", peak);
        while (notify_children() > 0) {
            peak = std::max(peak, notify_children());
            usleep(20'000);
            notify_reap();
        }
        std::printf("peak %zu\n", peak);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "running 2\npeak 2\n");
    EXPECT_EQ(count_of(result.err, "changed from (none) to 00:11:22:33:44:55\n"), 7);
    // Counted at once, then at most once a second: two in all.
    int dropped = 0;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);) {
        unsigned long n = 0;
        if (std::sscanf(line.c_str(), "notify queue full: dropped %lu notifications", &n) == 1)
            dropped += static_cast<int>(n);
    }
    EXPECT_EQ(dropped, 2) << result.err;
    // The first five ran; the two newest were dropped.
    const auto calls = wait_for_calls(lib, 5);
    ASSERT_EQ(calls.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_NE(calls[i].find("|169.254.8." + std::to_string(i) + "|"), std::string::npos);
}
