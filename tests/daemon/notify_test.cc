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
#include "diag.h"
#include "lifecycle.h"
#include "notifier.h"
#include "pid_file.h"

using namespace daemon_test;

namespace {

// A notify command that appends the event kind (with the count of held-back
// changes, if any) and its arguments, joined by "|", as one line.
std::string make_recorder(const Library& lib) {
    const std::string path = lib.dir() + "/record-args";
    pelorin_test::write_file(path,
                             "#!/bin/sh\nline=$(printf '%s|' "
                             "\"$PELORIN_EVENT${PELORIN_SUPPRESSED+ $PELORIN_SUPPRESSED}\" \"$@\")"
                             "\necho \"$line\" >> " +
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

BindingObservation observation_of(std::array<unsigned char, 4> ip, const char* hwaddr,
                                  std::int64_t sec) {
    BindingObservation o{};
    o.iptype = 4;
    o.family = AF_INET;
    std::copy(ip.begin(), ip.end(), o.addr.begin());
    copy_bounded(o.hwaddr, hwaddr, sizeof o.hwaddr);
    o.ts = {sec, 0};
    return o;
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
    RunOptions options;
    options.notify_command = recorder.c_str();
    const auto result = as_daemon_in_child(lib, [&](sqlite3* db) {
        setenv("TZ", "UTC", 1);
        tzset();
        feed(arp_at(kMacA, {169, 254, 7, 7}, 1'706'745'605));
        feed(arp_at(kMacB, {169, 254, 7, 7}, 1'706'745'613));
        ArpFields unknown;
        unknown.source = unknown.sender_mac = {0x00, 0x99, 0x99, 0x01, 0x02, 0x03};
        unknown.sender_ip = {169, 254, 7, 8};
        feed({arp_frame(unknown), 1'706'745'620});
        NdFields nd;
        feed({nd_frame(nd), 1'706'745'630});
    }, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err,
              "IP address 169.254.7.7 changed from (none) to 00:11:22:33:44:55\n"
              "IP address 169.254.7.7 changed from 00:11:22:33:44:55 to 00:aa:bb:cc:dd:ee\n"
              "IP address 169.254.7.8 changed from (none) to 00:99:99:01:02:03\n"
              "IP address fe80::1 changed from (none) to 00:11:22:33:44:55\n");
    const std::string cmd = recorder + "|";
    EXPECT_EQ(wait_for_calls(lib, 4),
              (std::vector<std::string>{
                  "changed|2024-02-01 00:00:13|eth-test|(link-local)|169.254.7.7|00:aa:bb:cc:dd:"
                  "ee|Beta Org|00:11:22:33:44:55|Alpha Org|",
                  "new|2024-02-01 00:00:05|eth-test|(link-local)|169.254.7.7|00:11:22:33:44:55|"
                  "Alpha Org|(none)|(none)|",
                  "new|2024-02-01 00:00:20|eth-test|(link-local)|169.254.7.8|00:99:99:01:02:03|("
                  "unknown)|(none)|(none)|",
                  "new|2024-02-01 00:00:30|eth-test|(link-local)|fe80::1|00:11:22:33:44:55|Alpha "
                  "Org|(none)|(none)|",
              }));
}

TEST(Notify, WithoutCommandOnlyWarnsAndLooksNothingUp) {
    // No vendor database at all: any organisation lookup would crash.
    const auto quiet = pelorin_test::run_captured([] {
        Notifier logging_only(nullptr, nullptr);
        logging_only.change(kInterface, observation_of({169, 254, 1, 1}, "00:11:22:33:44:55", 1),
                            "00:aa:bb:cc:dd:ee");
    });
    EXPECT_EQ(quiet.err,
              "IP address 169.254.1.1 changed from 00:aa:bb:cc:dd:ee to 00:11:22:33:44:55\n");
}

TEST(Notify, ExecFailureIsWarnedByTheChildWhileTheDaemonGoesOn) {
    Library lib;
    for (const std::string& command : {lib.dir() + "/missing", std::string("sh")}) {
        SCOPED_TRACE(command);
        RunOptions options;
        options.notify_command = command.c_str();
        const auto result = as_daemon_in_child(lib, [&](sqlite3* db) {
            // A bare name is a file in the working directory, never searched
            // for along PATH.
            if (chdir(lib.dir().c_str()) != 0) std::abort();
            feed(arp_at(kMacA, {169, 254, 3, 1}, 1'800'000'000));
            feed(arp_at(kMacA, {169, 254, 3, 2}, 1'800'000'001));
            std::printf("daemon went on\n");
        }, options);
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
        // The zone of this process only.
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
    RunOptions options;
    options.notify_command = recorder.c_str();
    const auto result = as_daemon_in_child(lib, [&](sqlite3* db) {
        PidFile pid_file(pid_path.c_str());
        pid_file.write();
        install_signal_handlers(nullptr);
        notifier().change(kInterface, observation_of({169, 254, 9, 9}, "00:11:22:33:44:55",
                                                     1'800'000'000),
                          "(none)");
        const std::vector<pid_t> children = children_of(getpid());
        if (children.size() != 1) std::abort();
        // The child is in its one-second wait.
        kill(children[0], SIGTERM);
        // SIGCHLD is ignored: waitpid returns once the child has ended.
        waitpid(-1, nullptr, 0);
        std::printf("pid file %s\n", access(pid_path.c_str(), F_OK) == 0 ? "kept" : "gone");
        std::printf("daemon signal %d\n", pending_exit_signal());
    }, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "pid file kept\ndaemon signal 0\n");
    EXPECT_EQ(result.err, "IP address 169.254.9.9 changed from (none) to 00:11:22:33:44:55\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(pelorin_test::file_exists(lib.dir() + "/calls"));
}

TEST(Notify, AtMostKCommandsRunAndAFullQueueDropsTheNewestWithAWarning) {
    Library lib;
    const std::string recorder = make_recorder(lib);
    RunOptions options;
    options.notify_command = recorder.c_str();
    options.notify = {2, 3};
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        for (unsigned char i = 0; i < 7; ++i) {
            notifier().change(kInterface,
                              observation_of({169, 254, 8, i}, "00:11:22:33:44:55",
                                             1'800'000'000 + i),
                              "(none)");
        }
        std::size_t peak = notifier().running();
        std::printf("running %zu\n", peak);
        while (notifier().running() > 0) {
            peak = std::max(peak, notifier().running());
            usleep(20'000);
            notifier().reap();
        }
        std::printf("peak %zu\n", peak);
    }, options);
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

// The kind of a change comes from the address's history in the database:
// a flip-flop goes back to the address it had just before, and nothing
// further back counts.
TEST(Notify, EventKindComesFromTheAddressHistory) {
    constexpr Mac kMacC = {0x00, 0x33, 0x44, 0x55, 0x66, 0x77};
    const struct {
        const char* name;
        std::vector<const char*> history;  // oldest first
        Mac seen;
        bool ipv6;
        const char* event;
    } cases[] = {
        {"first sighting", {}, kMacA, false, "new"},
        {"another card", {"00:11:22:33:44:55"}, kMacB, false, "changed"},
        {"back to the one before", {"00:11:22:33:44:55", "00:aa:bb:cc:dd:ee"}, kMacA, false,
         "flip-flop"},
        {"back to an older one", {"00:11:22:33:44:55", "00:aa:bb:cc:dd:ee", "00:33:44:55:66:77"},
         kMacA, false, "changed"},
        {"third time back", {"00:aa:bb:cc:dd:ee", "00:11:22:33:44:55", "00:aa:bb:cc:dd:ee"},
         kMacA, false, "flip-flop"},
        {"neighbor discovery", {"00:33:44:55:66:77", "00:11:22:33:44:55"}, kMacC, true,
         "flip-flop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Library lib;
        const std::string recorder = make_recorder(lib);
        RunOptions options;
        options.notify_command = recorder.c_str();
        const auto result = as_daemon(lib, [&](sqlite3* db) {
            std::int64_t sec = 1'800'000'000;
            for (const char* hwaddr : c.history) {
                pelorin_test::raw_exec(db, "INSERT INTO ipmap VALUES (" +
                                               std::string(c.ipv6 ? "6,'fe80::1'" : "4,'169.254.1.1'") +
                                               ",'" + hwaddr + "'," + std::to_string(sec++) +
                                               ",0,unixepoch())");
            }
            if (c.ipv6) {
                NdFields f;
                f.source = c.seen;
                f.options = link_option(1, c.seen);
                feed({nd_frame(f), sec});
            } else {
                feed(arp_at(c.seen, {169, 254, 1, 1}, sec));
            }
            // Reaped here, so that no later test collects this one's child.
            while (notifier().running() > 0) {
                usleep(20'000);
                notifier().reap();
            }
        }, options);
        const auto calls = wait_for_calls(lib, 1);
        ASSERT_EQ(calls.size(), 1u) << result.err;
        EXPECT_EQ(calls[0].substr(0, calls[0].find('|')), c.event);
    }
}

// Damping holds back a flip-flop inside the window after the address's last
// notification; one notification at the window's end tells the final state
// and how many changes it stands for, unless the address is back where the
// last one left it.
TEST(Notify, DampingHoldsBackFlipFlopsInsideTheWindowOnly) {
    using Clock = Damper::Clock;
    constexpr auto kWindow = std::chrono::seconds(60);
    struct Step {
        int at;  // seconds
        const char* hwaddr;
        ChangeEvent event;
        int notified;  // -1: held back; else the count it stands for
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        int flush_at;
        const char* summary;  // "hwaddr old count", or "" for none
    } cases[] = {
        {"flip-flop inside the window",
         {{0, "b", ChangeEvent::kChanged, 0}, {10, "a", ChangeEvent::kFlipFlop, -1}},
         60, "a b 1"},
        {"not yet due", {{0, "b", ChangeEvent::kChanged, 0}, {10, "a", ChangeEvent::kFlipFlop, -1}},
         59, ""},
        {"flip-flop outside the window",
         {{0, "b", ChangeEvent::kChanged, 0}, {61, "a", ChangeEvent::kFlipFlop, 0}}, 200, ""},
        {"real changes never wait",
         {{0, "b", ChangeEvent::kChanged, 0}, {1, "c", ChangeEvent::kChanged, 0},
          {2, "d", ChangeEvent::kNew, 0}},
         200, ""},
        {"back where the last mail left it",
         {{0, "b", ChangeEvent::kChanged, 0}, {10, "a", ChangeEvent::kFlipFlop, -1},
          {20, "b", ChangeEvent::kFlipFlop, -1}},
         60, ""},
        {"a flood ends in one mail",
         {{0, "b", ChangeEvent::kChanged, 0}, {10, "a", ChangeEvent::kFlipFlop, -1},
          {20, "b", ChangeEvent::kFlipFlop, -1}, {30, "a", ChangeEvent::kFlipFlop, -1}},
         60, "a b 3"},
        {"a real change carries what was held back",
         {{0, "b", ChangeEvent::kChanged, 0}, {10, "a", ChangeEvent::kFlipFlop, -1},
          {20, "c", ChangeEvent::kChanged, 1}},
         200, ""},
        {"the window runs from the last notification",
         {{0, "a", ChangeEvent::kNew, 0}, {50, "b", ChangeEvent::kChanged, 0},
          {100, "a", ChangeEvent::kFlipFlop, -1}},
         110, "a b 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Damper damper(kWindow);
        const Clock::time_point start{};
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.at);
            int stands_for = -2;
            const bool sent = damper.should_notify(observation_of({10, 0, 0, 1}, step.hwaddr, 0),
                                                   step.event, start + std::chrono::seconds(step.at),
                                                   &stands_for);
            EXPECT_EQ(sent ? stands_for : -1, step.notified);
        }
        std::string summaries;
        damper.flush_due(start + std::chrono::seconds(c.flush_at), [&](const Damper::Summary& s) {
            summaries += std::string(s.observation.hwaddr) + " " + s.old_hwaddr + " " +
                         std::to_string(s.stands_for);
        });
        EXPECT_EQ(summaries, c.summary);
        // Sent once: nothing is left to send later.
        damper.flush_due(start + std::chrono::hours(1), [&](const Damper::Summary& s) {
            if (c.summary[0] != '\0') ADD_FAILURE() << "sent twice: " << s.observation.hwaddr;
        });
    }
}
