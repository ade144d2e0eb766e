// The real pelorin binary in a network namespace of its own: frames are
// injected on the far end of a veth pair and the test looks at what an
// administrator sees (standard error, the interface database, the pid
// file, the notify command's arguments, exit statuses).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame_builder.h"
#include "netns_fixture.h"
#include "interface_db.h"
#include "vendor_db.h"
#include "test_support.h"

namespace {

namespace fb = pelorin_frames;
using pelorin_e2e::file_text;
using pelorin_e2e::kCaptureInterface;
using pelorin_e2e::milliseconds;
using pelorin_e2e::NamespacedProcess;
using pelorin_e2e::process_alive;
using pelorin_e2e::process_state;
using pelorin_e2e::TestNamespace;
using pelorin_e2e::wait_for_orphan;
using pelorin_e2e::wait_until;
using pelorin_test::built_program;
using pelorin_test::file_exists;
using pelorin_test::make_vendor_db;
using pelorin_test::raw_query;
using pelorin_test::ScratchDir;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// The probe that tells a test the daemon is capturing: a link-local sender,
// so that even a notify command never resolves it.
constexpr const char* kProbeIp = "169.254.254.1";
constexpr const char* kProbeMac = "02:00:00:00:fe:fe";

std::string pid_line(pid_t pid) { return std::to_string(pid) + "\n"; }

// Local time of a capture second, as the notify command receives it.
std::string local_date_time(std::int64_t sec) {
    const std::time_t t = static_cast<std::time_t>(sec);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

// The id a pid file holds, or 0 when it does not hold exactly "%u\n".
pid_t pid_in_file(const std::string& path) {
    const std::string text = file_text(path);
    if (text.size() < 2 || text.back() != '\n') return 0;
    char* end = nullptr;
    const long id = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() - 1 || id <= 0) return 0;
    return static_cast<pid_t>(id);
}

class DaemonEndToEnd : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
        pelorin_e2e::become_subreaper();
        ns_ = std::make_unique<TestNamespace>(hosts_lines_);
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        make_vendor_db(dir_.path(), {{"ma_l", "00:11:22", "Acme Widgets Inc"},
                                     {"ma_l", "00:aa:bb", "Borealis Devices"}});
    }

    std::string db_path() const { return dir_.file(std::string(kCaptureInterface) + ".sqlite"); }
    std::string pid_path() const { return dir_.file("pelorin.pid"); }

    // Starts pelorin with the library directory set and the capture
    // interface as the operand.
    NamespacedProcess& start(std::vector<std::string> options,
                             const std::string& interface = kCaptureInterface) {
        options.insert(options.begin(), {"-L", dir_.path()});
        options.push_back(interface);
        processes_.push_back(std::make_unique<NamespacedProcess>(*ns_, built_program("pelorin"),
                                                                 options, dir_.path()));
        return *processes_.back();
    }

    // Sends the probe until the daemon announces it: from then on every
    // injected frame reaches the handler, in order.
    bool wait_capturing(const NamespacedProcess& daemon) {
        const std::string seen =
            std::string("IP address ") + kProbeIp + " changed from (none) to " + kProbeMac + "\n";
        const auto probe =
            fb::arp_request(fb::mac(kProbeMac), fb::ipv4(kProbeIp), fb::ipv4("169.254.254.2"));
        return wait_until([&] {
            if (daemon.err().find(seen) != std::string::npos) return true;
            ns_->inject(probe);
            return daemon.wait_for_err(seen, pelorin_e2e::milliseconds(100));
        });
    }

    // Standard error after the probe's announcement.
    static std::string err_after_probe(const NamespacedProcess& daemon) {
        const std::string err = daemon.err();
        const std::string seen = std::string("changed from (none) to ") + kProbeMac + "\n";
        const std::size_t at = err.find(seen);
        return at == std::string::npos ? err : err.substr(at + seen.size());
    }

    // A last frame whose announcement shows that everything sent before it
    // has been handled.
    bool send_marker(const NamespacedProcess& daemon, int n) {
        const std::string ip = "169.254.200." + std::to_string(n);
        char mac_text[18];
        std::snprintf(mac_text, sizeof mac_text, "02:00:00:00:fd:%02x", n);
        ns_->inject(fb::arp_request(fb::mac(mac_text), fb::ipv4(ip), fb::ipv4("169.254.200.254")));
        return daemon.wait_for_err("IP address " + ip + " changed from (none) to " + mac_text +
                                   "\n");
    }

    std::string rows(const std::string& where = "1") const {
        return raw_query(db_path(), "SELECT iptype, ipaddr, hwaddr FROM ipmap WHERE " + where +
                                        " ORDER BY sec, usec, rowid");
    }

    std::string hosts_lines_;
    ScratchDir dir_;
    std::unique_ptr<TestNamespace> ns_;
    // Declared after the namespace, so the processes are gone before it is.
    std::vector<std::unique_ptr<NamespacedProcess>> processes_;
};

TEST_F(DaemonEndToEnd, RecordsArpAndNeighborDiscoveryAndWarnsAboutTheRest) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    const std::int64_t before = std::time(nullptr);

    // A request (42 bytes), a padded reply (60 bytes), a repeat that
    // changes nothing, and a change of hardware address.
    ns_->inject(
        fb::arp_request(fb::mac("02:11:22:33:44:55"), fb::ipv4("10.0.0.5"), fb::ipv4("10.0.0.1")));
    fb::Arp reply;
    reply.eth_source = reply.sender_mac = fb::mac("00:11:22:00:00:01");
    reply.eth_destination = reply.target_mac = fb::mac("02:11:22:33:44:55");
    reply.opcode = fb::kArpReply;
    reply.sender_ip = fb::ipv4("10.0.0.6");
    reply.target_ip = fb::ipv4("10.0.0.5");
    reply.pad = true;
    ns_->inject(fb::arp_frame(reply));
    ns_->inject(
        fb::arp_request(fb::mac("02:11:22:33:44:55"), fb::ipv4("10.0.0.5"), fb::ipv4("10.0.0.1")));
    ns_->inject(
        fb::arp_request(fb::mac("02:11:22:33:44:66"), fb::ipv4("10.0.0.5"), fb::ipv4("10.0.0.1")));

    // Relayed reply: the sender hardware address is not the frame's source.
    fb::Arp relayed = reply;
    relayed.eth_source = fb::mac("02:11:22:33:44:56");
    relayed.sender_mac = fb::mac("02:aa:bb:cc:dd:ee");
    relayed.sender_ip = fb::ipv4("10.0.0.7");
    ns_->inject(fb::arp_frame(relayed));
    fb::Arp bad_opcode;
    bad_opcode.eth_source = bad_opcode.sender_mac = fb::mac("02:11:22:33:44:5a");
    bad_opcode.sender_ip = fb::ipv4("10.0.0.10");
    bad_opcode.opcode = 3;
    ns_->inject(fb::arp_frame(bad_opcode));

    // Solicitation from a link-local address with its source link-layer
    // address and a nonce; Advertisement with a target link-layer address.
    fb::Nd ns_frame;
    ns_frame.eth_source = fb::mac("02:11:22:33:44:55");
    ns_frame.type = fb::kNeighborSolicit;
    ns_frame.source = fb::ipv6("fe80::11:22ff:fe33:4455");
    ns_frame.destination = fb::ipv6("ff02::1:ff00:1");
    ns_frame.target = fb::ipv6("fe80::1");
    ns_frame.options = {fb::link_option(fb::kOptionSourceLinkAddress, ns_frame.eth_source),
                        fb::NdOption{fb::kOptionNonce, {1, 2, 3, 4, 5, 6}}};
    ns_->inject(fb::nd_frame(ns_frame));
    fb::Nd na;
    na.eth_source = fb::mac("02:11:22:33:44:57");
    na.eth_destination = fb::mac("33:33:00:00:00:01");
    na.type = fb::kNeighborAdvert;
    na.source = na.target = fb::ipv6("2001:db8::7");
    na.destination = fb::ipv6("ff02::1");
    na.flags = 0x20000000;  // override
    na.options = {fb::link_option(fb::kOptionTargetLinkAddress, na.eth_source)};
    ns_->inject(fb::nd_frame(na));
    fb::Nd na_mismatch = na;
    na_mismatch.eth_source = fb::mac("02:11:22:33:44:58");
    na_mismatch.source = na_mismatch.target = fb::ipv6("2001:db8::8");
    na_mismatch.options = {
        fb::link_option(fb::kOptionTargetLinkAddress, fb::mac("02:11:22:33:44:99"))};
    ns_->inject(fb::nd_frame(na_mismatch));

    // Probes from the unspecified addresses never pass the fixed filter, so
    // they are not even warned about.
    ns_->inject(
        fb::arp_request(fb::mac("02:11:22:33:44:5b"), fb::ipv4("0.0.0.0"), fb::ipv4("10.0.0.11")));
    fb::Nd dad = ns_frame;
    dad.source = fb::ipv6("::");
    dad.options.clear();
    ns_->inject(fb::nd_frame(dad));

    ASSERT_TRUE(send_marker(daemon, 1)) << daemon.err();
    const std::int64_t after = std::time(nullptr);

    EXPECT_EQ(err_after_probe(daemon),
              "IP address 10.0.0.5 changed from (none) to 02:11:22:33:44:55\n"
              "IP address 10.0.0.6 changed from (none) to 00:11:22:00:00:01\n"
              "IP address 10.0.0.5 changed from 02:11:22:33:44:55 to 02:11:22:33:44:66\n"
              "received packet from 02:11:22:33:44:56 with non matching arp sender hardware addr "
              "02:aa:bb:cc:dd:ee\n"
              "received packet from 02:11:22:33:44:5a with unexpected arp opcode 3\n"
              "IP address fe80::11:22ff:fe33:4455 changed from (none) to 02:11:22:33:44:55\n"
              "IP address 2001:db8::7 changed from (none) to 02:11:22:33:44:57\n"
              "received packet from 02:11:22:33:44:58 (2001:db8::8) with non matching neighbor "
              "discovery option address 02:11:22:33:44:99\n"
              "IP address 169.254.200.1 changed from (none) to 02:00:00:00:fd:01\n");
    EXPECT_EQ(rows(),
              "4|169.254.254.1|02:00:00:00:fe:fe\n"
              "4|10.0.0.5|02:11:22:33:44:55\n"
              "4|10.0.0.6|00:11:22:00:00:01\n"
              "4|10.0.0.5|02:11:22:33:44:66\n"
              "6|fe80::11:22ff:fe33:4455|02:11:22:33:44:55\n"
              "6|2001:db8::7|02:11:22:33:44:57\n"
              "4|169.254.200.1|02:00:00:00:fd:01");
    // Every row written from a capture time: utime is the first sighting's
    // second, and that second is the time the frame was sent.
    EXPECT_EQ(
        raw_query(db_path(),
                  std::string("SELECT count(*) FROM ipmap WHERE ipaddr != '") + kProbeIp +
                      "' AND (utime != sec OR usec < 0 OR usec > 999999 "
                      "OR sec < " +
                      std::to_string(before - 1) + " OR sec > " + std::to_string(after + 1) + ")"),
        "0");
    EXPECT_TRUE(process_alive(daemon.pid()));
}

// An Advertisement of 166 bytes: 112 bytes of ICMPv6, the last 80 of them a
// nonce-type option, so that a 128-byte capture cuts it inside that option.
fb::Bytes long_advertisement() {
    fb::Nd na;
    na.eth_source = fb::mac("02:11:22:33:44:70");
    na.eth_destination = fb::mac("33:33:00:00:00:01");
    na.type = fb::kNeighborAdvert;
    na.source = na.target = fb::ipv6("2001:db8::70");
    na.destination = fb::ipv6("ff02::1");
    na.options = {fb::link_option(fb::kOptionTargetLinkAddress, na.eth_source),
                  fb::NdOption{fb::kOptionNonce, fb::Bytes(78, 0x5a)}};
    return fb::nd_frame(na);
}

// The interface's promiscuity count as the kernel reports it.
std::string promiscuity(const TestNamespace& ns) {
    const pelorin_test::ChildResult r = pelorin_test::run_program(
        {"/usr/sbin/ip", "-d", "-n", ns.name(), "link", "show", kCaptureInterface});
    const std::size_t at = r.out.find("promiscuity ");
    return at == std::string::npos ? "?"
                                   : r.out.substr(at + 12, r.out.find(' ', at + 12) - at - 12);
}

TEST_F(DaemonEndToEnd, DefaultSnaplenCutsALongAdvertisementAndPromiscuousModeIsOff) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    EXPECT_EQ(promiscuity(*ns_), "0");
    const fb::Bytes frame = long_advertisement();
    ASSERT_EQ(frame.size(), 166u);
    ns_->inject(frame);
    ASSERT_TRUE(send_marker(daemon, 4)) << daemon.err();
    EXPECT_EQ(err_after_probe(daemon),
              "Warning: icmp6 packet truncated - increase snaplen by 38 bytes\n"
              "received packet from 02:11:22:33:44:70 (2001:db8::70) with length too short for "
              "neighbor discovery option\n"
              "IP address 169.254.200.4 changed from (none) to 02:00:00:00:fd:04\n");
    EXPECT_EQ(rows("iptype = 6"), "");
}

TEST_F(DaemonEndToEnd, RaisedSnaplenRecordsTheLongAdvertisementAndPromiscuousModeIsOn) {
    NamespacedProcess& daemon = start({"-f", "-P", "-S", "256"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    EXPECT_EQ(promiscuity(*ns_), "1");
    ns_->inject(long_advertisement());
    ASSERT_TRUE(send_marker(daemon, 5)) << daemon.err();
    EXPECT_EQ(err_after_probe(daemon),
              "IP address 2001:db8::70 changed from (none) to 02:11:22:33:44:70\n"
              "IP address 169.254.200.5 changed from (none) to 02:00:00:00:fd:05\n");
    EXPECT_EQ(rows("iptype = 6"), "6|2001:db8::70|02:11:22:33:44:70");
}

TEST_F(DaemonEndToEnd, LoneFrameOnAQuietSegmentIsLoggedWithinHalfASecond) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    // Quiet first, so that nothing else is on its way.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto sent = std::chrono::steady_clock::now();
    ns_->inject(
        fb::arp_request(fb::mac("02:11:22:33:44:58"), fb::ipv4("10.0.0.8"), fb::ipv4("10.0.0.1")));
    ASSERT_TRUE(daemon.wait_for_err(
        "IP address 10.0.0.8 changed from (none) to 02:11:22:33:44:58\n", milliseconds(2000)))
        << daemon.err();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, milliseconds(500));
}

TEST_F(DaemonEndToEnd, FirstFrameExpiresBindingsOlderThanTheRetention) {
    // Rows left by an earlier run: one two days old, one twelve hours old.
    const std::int64_t now = std::time(nullptr);
    sqlite3* db = pelorin_test::raw_open(db_path());
    pelorin_test::raw_exec(db, kInterfaceSchema);
    pelorin_test::raw_exec(db, "INSERT INTO ipmap VALUES (4, '10.0.0.40', '02:00:00:00:00:40', " +
                                   std::to_string(now - 2 * 86400) + ", 0, " +
                                   std::to_string(now - 2 * 86400) + ")");
    pelorin_test::raw_exec(db, "INSERT INTO ipmap VALUES (4, '10.0.0.41', '02:00:00:00:00:41', " +
                                   std::to_string(now - 43200) + ", 0, " +
                                   std::to_string(now - 43200) + ")");
    sqlite3_close(db);

    NamespacedProcess& daemon = start({"-f", "-O", "1"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    EXPECT_EQ(rows("ipaddr LIKE '10.0.0.4%'"), "4|10.0.0.41|02:00:00:00:00:41");
}

class DaemonNotifyTest : public DaemonEndToEnd {
   protected:
    DaemonNotifyTest() { hosts_lines_ = "10.0.0.9 gamma.example.test\n"; }
};

TEST_F(DaemonNotifyTest, ChangeRunsTheCommandWithNameOrganisationsAndCaptureTime) {
    const std::string out = dir_.file("notify.out");
    const std::string script = dir_.file("notify.sh");
    // One line per run, written with one call, so concurrent runs never mix.
    pelorin_test::write_file(
        script, "#!/bin/sh\nline=$(printf '%s|' \"$0\" \"$@\")\necho \"$line\" >> '" + out + "'\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    NamespacedProcess& daemon = start({"-f", "-n", script});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    ns_->inject(
        fb::arp_request(fb::mac("00:11:22:00:00:01"), fb::ipv4("10.0.0.9"), fb::ipv4("10.0.0.1")));
    ASSERT_TRUE(
        daemon.wait_for_err("IP address 10.0.0.9 changed from (none) to 00:11:22:00:00:01\n"))
        << daemon.err();
    ns_->inject(
        fb::arp_request(fb::mac("00:aa:bb:00:00:02"), fb::ipv4("10.0.0.9"), fb::ipv4("10.0.0.1")));
    // No name in the hosts file: the resolver asks 127.0.0.1 in the
    // namespace, where nothing answers.
    ns_->inject(
        fb::arp_request(fb::mac("00:aa:bb:00:00:03"), fb::ipv4("10.0.0.12"), fb::ipv4("10.0.0.1")));

    auto count_lines = [&] {
        const std::string text = file_text(out);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    };
    ASSERT_TRUE(wait_until([&] { return count_lines() >= 4; }, pelorin_e2e::milliseconds(8000)))
        << "notify output:\n"
        << file_text(out) << "daemon:\n"
        << daemon.err();

    const std::string first_sec = raw_query(
        db_path(), "SELECT sec FROM ipmap WHERE ipaddr = '10.0.0.9' ORDER BY sec, usec LIMIT 1");
    const std::string second_sec = raw_query(
        db_path(),
        "SELECT sec FROM ipmap WHERE ipaddr = '10.0.0.9' ORDER BY sec DESC, usec DESC LIMIT 1");
    const std::string third_sec =
        raw_query(db_path(), "SELECT sec FROM ipmap WHERE ipaddr = '10.0.0.12'");
    const std::string probe_sec = raw_query(
        db_path(), std::string("SELECT sec FROM ipmap WHERE ipaddr = '") + kProbeIp + "'");
    const std::string text = file_text(out);
    const std::string prefix = script + "|";
    EXPECT_THAT(text,
                HasSubstr(prefix + local_date_time(std::stoll(probe_sec)) + "|cap0|(link-local)|" +
                          kProbeIp + "|" + kProbeMac + "|(unknown)|(none)|(none)|\n"));
    EXPECT_THAT(text, HasSubstr(prefix + local_date_time(std::stoll(first_sec)) +
                                "|cap0|gamma.example.test|10.0.0.9|00:11:22:00:00:01|Acme Widgets "
                                "Inc|(none)|(none)|\n"));
    EXPECT_THAT(text, HasSubstr(prefix + local_date_time(std::stoll(second_sec)) +
                                "|cap0|gamma.example.test|10.0.0.9|00:aa:bb:00:00:02|Borealis "
                                "Devices|00:11:22:00:00:01|Acme Widgets Inc|\n"));
    EXPECT_THAT(text, HasSubstr(prefix + local_date_time(std::stoll(third_sec)) +
                                "|cap0|(unknown)|10.0.0.12|00:aa:bb:00:00:03|Borealis "
                                "Devices|(none)|(none)|\n"));
    EXPECT_EQ(count_lines(), 4) << text;
    EXPECT_THAT(
        daemon.err(),
        HasSubstr("IP address 10.0.0.9 changed from 00:11:22:00:00:01 to 00:aa:bb:00:00:02\n"));
    EXPECT_TRUE(process_alive(daemon.pid()));
}

// Children of a process, from the kernel's list of them.
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    const std::string text = file_text("/proc/" + std::to_string(parent) + "/task/" +
                                       std::to_string(parent) + "/children");
    std::istringstream in(text);
    long pid = 0;
    while (in >> pid) children.push_back(static_cast<pid_t>(pid));
    return children;
}

std::string executable_of(pid_t pid) {
    char path[4096];
    const ssize_t n =
        readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

TEST_F(DaemonNotifyTest, TerminatingTheNotifyChildLeavesTheDaemonAndItsPidFileAlone) {
    const std::string out = dir_.file("notify.out");
    const std::string script = dir_.file("notify.sh");
    pelorin_test::write_file(script, "#!/bin/sh\necho \"$4\" >> '" + out + "'\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    NamespacedProcess& daemon = start({"-f", "-p", pid_path(), "-n", script});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    // The probe's announcement started a notify child of its own: let its
    // command run and end, so that the only child found below is the one to
    // stop. (No child yet is not enough: it is started after the log line.)
    ASSERT_TRUE(wait_until([&] {
        return file_text(out).find(std::string(kProbeIp) + "\n") != std::string::npos &&
               children_of(daemon.pid()).empty();
    })) << "the probe's notify command did not run";

    // The child waits a second before it runs the command. A stopped child
    // cannot run it, so once it is seen stopped and still a copy of the
    // daemon, the termination signal reaches it before the command could
    // start. Under load the second may be over before the child is found:
    // then it is let go and another new host tried.
    const std::string daemon_exe = executable_of(daemon.pid());
    std::string caught;
    for (int attempt = 0; attempt < 5 && caught.empty(); ++attempt) {
        const std::string ip = "10.0.0." + std::to_string(77 + attempt);
        const std::string mac = "00:11:22:00:01:0" + std::to_string(attempt);
        ns_->inject(fb::arp_request(fb::mac(mac), fb::ipv4(ip), fb::ipv4("10.0.0.1")));
        ASSERT_TRUE(
            daemon.wait_for_err("IP address " + ip + " changed from (none) to " + mac + "\n"));
        pid_t child = 0;
        wait_until(
            [&] {
                for (pid_t c : children_of(daemon.pid())) {
                    if (executable_of(c) == daemon_exe) child = c;
                }
                return child != 0;
            },
            pelorin_e2e::milliseconds(900));
        if (child != 0 && kill(child, SIGSTOP) == 0) {
            wait_until([&] { return process_state(child) == 'T' || !process_alive(child); });
            if (process_state(child) == 'T' && executable_of(child) == daemon_exe) {
                ASSERT_EQ(kill(child, SIGTERM), 0);
                caught = ip;
            }
            kill(child, SIGCONT);
            if (!caught.empty()) {
                EXPECT_TRUE(wait_until([&] { return !process_alive(child); }));
            }
        }
        ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid()).empty(); }));
    }
    ASSERT_FALSE(caught.empty()) << "no notify child caught before it ran its command";

    ASSERT_TRUE(send_marker(daemon, 3)) << daemon.err();
    EXPECT_TRUE(process_alive(daemon.pid()));
    EXPECT_EQ(file_text(pid_path()), pid_line(daemon.pid()));
    EXPECT_THAT(daemon.err(), ::testing::Not(HasSubstr("exiting on signal")));
    // The marker's own command runs after its second; the killed one never ran.
    ASSERT_TRUE(
        wait_until([&] { return file_text(out).find("169.254.200.3") != std::string::npos; }));
    EXPECT_THAT(file_text(out), ::testing::Not(HasSubstr(caught + "\n")));
}

class DaemonExitSignalTest : public DaemonEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonExitSignalTest, EndsWithWarningStatusZeroAndRemovesThePidFile) {
    NamespacedProcess& daemon = start({"-f", "-p", pid_path()});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    EXPECT_EQ(file_text(pid_path()), pid_line(daemon.pid()));

    ASSERT_EQ(kill(daemon.pid(), GetParam()), 0);
    const auto status = daemon.wait_exit();
    ASSERT_TRUE(status.has_value()) << "still running after the signal";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_THAT(daemon.err(), EndsWith("exiting on signal " + std::to_string(GetParam()) + "\n"));
    EXPECT_FALSE(file_exists(pid_path()));
}

std::string signal_name(const ::testing::TestParamInfo<int>& param_info) {
    return param_info.param == SIGTERM ? "Sigterm" : "Sigint";
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, DaemonExitSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         signal_name);

TEST_F(DaemonEndToEnd, HangupEndsByDefaultActionAndLeavesThePidFile) {
    NamespacedProcess& daemon = start({"-f", "-p", pid_path()});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    ASSERT_EQ(kill(daemon.pid(), SIGHUP), 0);
    const auto status = daemon.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGHUP) << "wait status " << *status;
    EXPECT_EQ(file_text(pid_path()), pid_line(daemon.pid()));
    EXPECT_THAT(daemon.err(), ::testing::Not(HasSubstr("exiting on signal")));
}

// Contents a new daemon must take over: a stale id is written below.
// The contents a claim takes over or refuses are the in-process pid file
// tests'; here the daemon in the foreground writes its own id over a stale
// one.
TEST_F(DaemonEndToEnd, ForegroundDaemonTakesOverAStalePidFile) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(gone, &status, 0), gone);
    pelorin_test::write_file(pid_path(), pid_line(gone));

    NamespacedProcess& daemon = start({"-f", "-p", pid_path()});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    EXPECT_EQ(file_text(pid_path()), pid_line(daemon.pid()));
    EXPECT_EQ(err_after_probe(daemon), "");
    EXPECT_THAT(daemon.err(), StartsWith("IP address " + std::string(kProbeIp)));
}

TEST_F(DaemonEndToEnd, DetachesAndTheChildWritesItsIdThenStopsOnSigterm) {
    NamespacedProcess& starter = start({"-p", pid_path()});
    const auto started = starter.wait_exit();
    ASSERT_TRUE(started.has_value()) << "the starting command did not return";
    EXPECT_TRUE(WIFEXITED(*started) && WEXITSTATUS(*started) == 0) << "wait status " << *started;

    ASSERT_TRUE(wait_until([&] { return pid_in_file(pid_path()) > 0; }))
        << "pid file: '" << file_text(pid_path()) << "'";
    const pid_t child = pid_in_file(pid_path());
    EXPECT_NE(child, starter.pid());
    EXPECT_TRUE(process_alive(child));
    EXPECT_EQ(getsid(child), child) << "the daemon should lead a session of its own";
    // The detached child keeps the standard error it inherited.
    ASSERT_TRUE(wait_capturing(starter)) << starter.err();

    ASSERT_EQ(kill(child, SIGTERM), 0);
    const auto status = wait_for_orphan(child);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_THAT(starter.err(), EndsWith("exiting on signal 15\n"));
    EXPECT_FALSE(file_exists(pid_path()));
}

TEST_F(DaemonEndToEnd, FilterSyntaxErrorIsReportedAfterDetachingAndLeavesThePidFile) {
    NamespacedProcess& starter = start({"-p", pid_path(), "-F", "tcp and and ("});
    const auto started = starter.wait_exit();
    ASSERT_TRUE(started.has_value());
    EXPECT_TRUE(WIFEXITED(*started) && WEXITSTATUS(*started) == 0) << "wait status " << *started;

    ASSERT_TRUE(wait_until([&] { return pid_in_file(pid_path()) > 0; }))
        << "pid file: '" << file_text(pid_path()) << "' err: " << starter.err();
    const pid_t child = pid_in_file(pid_path());
    EXPECT_NE(child, starter.pid());
    const auto status = wait_for_orphan(child);
    ASSERT_TRUE(status.has_value()) << "the detached daemon did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    // One line, the compiler's complaint, and nothing after it.
    const std::string err = starter.err();
    EXPECT_THAT(err, StartsWith("pcap_compile failed: "));
    EXPECT_THAT(err, EndsWith("\n"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(file_text(pid_path()), pid_line(child));
}

TEST_F(DaemonEndToEnd, MissingInterfaceFailsBeforeAnyFileIsMade) {
    NamespacedProcess& daemon = start({"-f", "-p", pid_path()}, "nosuch0");
    const auto status = daemon.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    const std::string err = daemon.err();
    EXPECT_TRUE(err.rfind("pcap_activate failed: ", 0) == 0 ||
                err.rfind("pcap_create for interface nosuch0 failed: ", 0) == 0)
        << err;
    EXPECT_THAT(err, EndsWith("\n"));
    EXPECT_FALSE(file_exists(dir_.file("nosuch0.sqlite")));
    EXPECT_FALSE(file_exists(pid_path()));
}

TEST_F(DaemonEndToEnd, MissingVendorDatabaseFailsWithStatusOne) {
    ScratchDir bare;
    const std::string pid_file = bare.file("pelorin.pid");
    processes_.push_back(std::make_unique<NamespacedProcess>(
        *ns_, built_program("pelorin"),
        std::vector<std::string>{"-f", "-p", pid_file, "-L", bare.path(), kCaptureInterface},
        dir_.path()));
    NamespacedProcess& daemon = *processes_.back();
    const auto status = daemon.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    EXPECT_EQ(daemon.err(), "the ma database (" + bare.path() +
                                "/ma_db.sqlite) has not been initialized: run pelorin-update-ma\n");
    EXPECT_FALSE(file_exists(pid_file));
}

// Another process edits the interface database under a running daemon that
// has the binding in memory; the next sighting must be decided from the
// edited file.
struct DatabaseEdit {
    const char* name;
    const char* before;  // run (unless empty) and followed by a sighting first
    const char* sql;
    int announcements;      // of 10.0.0.50 in all, the first sighting's included
    const char* last_line;  // the last announcement of 10.0.0.50
    const char* check;      // a query on the file that must give "1"
};

constexpr DatabaseEdit kDatabaseEdits[] = {
    {"UtimeSetBackNineHours", "",
     "UPDATE ipmap SET utime = utime - 32400 WHERE ipaddr = '10.0.0.50'", 1,
     "changed from (none) to 02:00:00:00:00:50",
     "SELECT count(*) = 1 AND min(utime) >= unixepoch() - 600 FROM ipmap "
     "WHERE ipaddr = '10.0.0.50'"},
    {"CurrentRowDeleted", "", "DELETE FROM ipmap WHERE ipaddr = '10.0.0.50'", 2,
     "changed from (none) to 02:00:00:00:00:50",
     "SELECT count(*) = 1 FROM ipmap WHERE ipaddr = '10.0.0.50'"},
    // Newer than the daemon's row (moved ten seconds back), older than the
    // next sighting.
    {"NewerRowOfAnotherAddress", "",
     "UPDATE ipmap SET sec = sec - 10 WHERE ipaddr = '10.0.0.50'; INSERT INTO ipmap VALUES (4, "
     "'10.0.0.50', '02:00:00:00:00:51', unixepoch() - 5, 0, unixepoch() - 5)",
     2, "changed from 02:00:00:00:00:51 to 02:00:00:00:00:50",
     "SELECT count(*) = 3 FROM ipmap WHERE ipaddr = '10.0.0.50'"},
    // SQLite may refuse switching back while the daemon is connected; the
    // daemon must keep deciding right while the file is in WAL format, where
    // commits no longer move the change counter in the file's header.
    {"SwitchedToWal", "PRAGMA journal_mode=WAL", "DELETE FROM ipmap WHERE ipaddr = '10.0.0.50'", 2,
     "changed from (none) to 02:00:00:00:00:50",
     "SELECT count(*) = 1 FROM ipmap WHERE ipaddr = '10.0.0.50'"},
};

class DaemonDatabaseEditTest : public DaemonEndToEnd,
                               public ::testing::WithParamInterface<DatabaseEdit> {};

TEST_P(DaemonDatabaseEditTest, NextSightingIsDecidedFromTheEditedFile) {
    const DatabaseEdit& edit = GetParam();
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    const auto sighting =
        fb::arp_request(fb::mac("02:00:00:00:00:50"), fb::ipv4("10.0.0.50"), fb::ipv4("10.0.0.1"));
    // Recorded, then seen again: the daemon now holds it in memory.
    ns_->inject(sighting);
    ns_->inject(sighting);
    ASSERT_TRUE(send_marker(daemon, 1)) << daemon.err();

    auto apply = [&](const char* sql, int marker) {
        sqlite3* db = pelorin_test::raw_open(db_path());
        pelorin_test::raw_exec(db, sql);
        sqlite3_close(db);
        ns_->inject(sighting);
        ns_->inject(sighting);
        return send_marker(daemon, marker);
    };
    if (edit.before[0] != '\0') {
        ASSERT_TRUE(apply(edit.before, 2)) << daemon.err();
    }
    ASSERT_TRUE(apply(edit.sql, 3)) << daemon.err();

    const std::string err = err_after_probe(daemon);
    const std::string announced = "IP address 10.0.0.50 ";
    int count = 0;
    std::string last;
    for (std::size_t at = err.find(announced); at != std::string::npos;
         at = err.find(announced, at + 1)) {
        ++count;
        last = err.substr(at + announced.size(), err.find('\n', at) - at - announced.size());
    }
    EXPECT_EQ(count, edit.announcements) << err;
    EXPECT_EQ(last, edit.last_line) << err;
    EXPECT_EQ(raw_query(db_path(), edit.check), "1") << raw_query(db_path(), "SELECT * FROM ipmap");
}

INSTANTIATE_TEST_SUITE_P(Edits, DaemonDatabaseEditTest, ::testing::ValuesIn(kDatabaseEdits),
                         [](const ::testing::TestParamInfo<DatabaseEdit>& param_info) {
                             return std::string(param_info.param.name);
                         });


// ---- bursts of new hosts -----------------------------------------------

// ARP requests from count distinct hosts 10.<net>.x.y.
std::vector<fb::Bytes> new_hosts(std::uint8_t net, int count) {
    std::vector<fb::Bytes> frames;
    for (int i = 0; i < count; ++i) {
        const auto hi = static_cast<std::uint8_t>(i >> 8);
        const auto lo = static_cast<std::uint8_t>(i);
        frames.push_back(fb::arp_request(fb::Mac{0x02, net, 0, 0, hi, lo},
                                         fb::Ipv4{10, net, hi, lo}, fb::ipv4("10.0.0.1")));
    }
    return frames;
}

// Sends the frames at a steady rate (frames per second).
void send_paced(const TestNamespace& ns, const std::vector<fb::Bytes>& frames, int rate) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i % 16 == 0) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1'000'000 / rate));
        }
        ns.inject(frames[i]);
    }
}

// The addresses announced as new in err, and whether each came right after
// an insert warning.
std::map<std::string, bool> announced(const std::string& err, const std::string& prefix) {
    std::map<std::string, bool> result;
    std::istringstream in(err);
    bool warned = false;
    for (std::string line; std::getline(in, line);) {
        const std::string head = "IP address " + prefix;
        if (line.rfind(head, 0) == 0) {
            result[line.substr(11, line.find(' ', 11) - 11)] = warned;
        }
        warned = line.rfind("ipmap insert entry failed: ", 0) == 0;
    }
    return result;
}

std::set<std::string> stored(const std::string& db_path, const std::string& prefix) {
    std::set<std::string> result;
    std::istringstream in(
        raw_query(db_path, "SELECT ipaddr FROM ipmap WHERE ipaddr LIKE '" + prefix + "%'"));
    for (std::string line; std::getline(in, line);) result.insert(line);
    return result;
}

TEST_F(DaemonEndToEnd, BurstOfNewHostsIsLearnedAndAnnouncedEntirely) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    send_paced(*ns_, new_hosts(21, 65536), 20000);
    ASSERT_TRUE(daemon.wait_for_err("IP address 10.21.255.255 changed from (none)",
                                    pelorin_e2e::milliseconds(60000)));
    ASSERT_TRUE(send_marker(daemon, 1));
    EXPECT_EQ(announced(daemon.err(), "10.21.").size(), 65536u);
    EXPECT_EQ(stored(db_path(), "10.21.").size(), 65536u);
    EXPECT_THAT(daemon.err(), ::testing::Not(HasSubstr("failed")));
}

TEST_F(DaemonEndToEnd, KilledMidBurstLeavesEveryAnnouncedBindingStored) {
    NamespacedProcess& daemon = start({"-f"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    std::thread sender([&] { send_paced(*ns_, new_hosts(22, 20000), 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    kill(daemon.pid(), SIGKILL);
    sender.join();
    ASSERT_TRUE(daemon.wait_exit().has_value());
    const auto seen = announced(daemon.err(), "10.22.");
    const auto rows = stored(db_path(), "10.22.");
    EXPECT_GT(seen.size(), 0u);
    for (const auto& [ip, warned] : seen) EXPECT_TRUE(warned || rows.count(ip) == 1) << ip;
    EXPECT_EQ(raw_query(db_path(), "PRAGMA integrity_check"), "ok");
}

// A file system of its own, mounted for the test and unmounted after.
class SmallFileSystem {
   public:
    explicit SmallFileSystem(const std::string& dir) : dir_(dir) {
        mounted_ = pelorin_e2e::run_command(
                       {"/usr/bin/mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", dir}) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) pelorin_e2e::run_command({"/usr/bin/umount", "-l", dir_});
    }
    bool mounted() const { return mounted_; }

   private:
    std::string dir_;
    bool mounted_ = false;
};

TEST_F(DaemonEndToEnd, CommitOnAFullDiskStillAnnouncesEveryBindingWithItsWarning) {
    const std::string library = dir_.file("small");
    ASSERT_EQ(mkdir(library.c_str(), 0755), 0);
    const SmallFileSystem fs(library);
    ASSERT_TRUE(fs.mounted());
    make_vendor_db(library, {{"ma_l", "00:11:22", "Acme Widgets Inc"}});
    processes_.push_back(std::make_unique<NamespacedProcess>(
        *ns_, built_program("pelorin"),
        std::vector<std::string>{"-f", "-L", library, kCaptureInterface}, dir_.path()));
    NamespacedProcess& daemon = *processes_.back();
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();

    // Whatever room is left goes to a filler file.
    const std::string filler = library + "/filler";
    {
        std::FILE* f = std::fopen(filler.c_str(), "w");
        ASSERT_NE(f, nullptr);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               std::fflush(f) == 0) {
        }
        std::fclose(f);
    }
    const auto frames = new_hosts(23, 300);
    for (const auto& frame : frames) ns_->inject(frame);
    ASSERT_TRUE(send_marker(daemon, 1)) << daemon.err();
    unlink(filler.c_str());

    const auto seen = announced(daemon.err(), "10.23.");
    const auto rows = stored(library + "/" + kCaptureInterface + ".sqlite", "10.23.");
    EXPECT_EQ(seen.size(), 300u);
    int warned_count = 0;
    for (const auto& [ip, warned] : seen) {
        EXPECT_NE(warned, rows.count(ip) == 1) << ip;
        warned_count += warned ? 1 : 0;
    }
    EXPECT_GT(warned_count, 0) << daemon.err();
    EXPECT_THAT(daemon.err(), HasSubstr("ipmap insert entry failed: database or disk is full\n"));
    EXPECT_EQ(raw_query(library + "/" + kCaptureInterface + ".sqlite", "PRAGMA integrity_check"),
              "ok");
}

TEST_F(DaemonEndToEnd, NoMoreThanThirtyTwoNotifyCommandsRunAtOnce) {
    const std::string script = dir_.file("slow-notify.sh");
    pelorin_test::write_file(script, "#!/bin/sh\nsleep 2\n");
    chmod(script.c_str(), 0755);
    NamespacedProcess& daemon = start({"-f", "-n", script});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    for (int i = 0; i < 100; ++i) {
        ns_->inject(fb::arp_request(fb::Mac{0x02, 0, 0, 0, 0x50, static_cast<std::uint8_t>(i)},
                                    fb::Ipv4{169, 254, 50, static_cast<std::uint8_t>(i)},
                                    fb::ipv4("169.254.50.254")));
    }
    std::size_t peak = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        peak = std::max(peak, children_of(daemon.pid()).size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(peak, 32u);
    // The queue drains as commands end.
    EXPECT_TRUE(wait_until([&] { return children_of(daemon.pid()).empty(); },
                           pelorin_e2e::milliseconds(20000)));
}

}  // namespace

namespace {

// One ARP, one Solicitation and one Advertisement from host n of a VLAN,
// under the given tags.
std::vector<fb::Bytes> frames_of(int n, const std::vector<fb::VlanTag>& tags) {
    char mac_text[18];
    std::snprintf(mac_text, sizeof mac_text, "02:00:00:00:%02x:01", n);
    const fb::Mac mac = fb::mac(mac_text);
    fb::Nd ns_frame;
    ns_frame.eth_source = mac;
    ns_frame.source = fb::ipv6("2001:db8::" + std::to_string(n) + ":1");
    ns_frame.destination = fb::ipv6("ff02::1:ff00:1");
    ns_frame.target = fb::ipv6("2001:db8::1");
    ns_frame.options = {fb::link_option(fb::kOptionSourceLinkAddress, mac)};
    fb::Nd na = ns_frame;
    na.type = fb::kNeighborAdvert;
    na.source = na.target = fb::ipv6("2001:db8::" + std::to_string(n) + ":2");
    na.destination = fb::ipv6("ff02::1");
    na.options = {fb::link_option(fb::kOptionTargetLinkAddress, mac)};
    return {fb::tagged(fb::arp_request(mac, fb::ipv4("10.0." + std::to_string(n) + ".1"),
                                       fb::ipv4("10.0.0.1")),
                       tags),
            fb::tagged(fb::nd_frame(ns_frame), tags), fb::tagged(fb::nd_frame(na), tags)};
}

}  // namespace

// One daemon on a trunk: untagged frames, two VLANs under one tag (802.1Q,
// and 802.1ad alone) and one under two, each in a database of its own named
// as Linux names VLAN interfaces, also after a restart; a fifth VLAN past
// the limit, and frames under three tags, which never pass the filter.
TEST_F(DaemonNotifyTest, TrunkKeepsAHistoryPerVlan) {
    const std::string out = dir_.file("notify.out");
    const std::string script = dir_.file("notify.sh");
    pelorin_test::write_file(script, "#!/bin/sh\necho \"$2 $4 $5\" >> '" + out + "'\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const struct {
        const char* database;  // nullptr: not watched
        std::vector<fb::VlanTag> tags;
    } vlans[] = {
        {"cap0", {}},
        {"cap0.10", {{fb::kTagQ, 10}}},
        {"cap0.20", {{fb::kTagAd, 20}}},
        {"cap0.100.30", {{fb::kTagAd, 100}, {fb::kTagQ, 30}}},
        {nullptr, {{fb::kTagQ, 40}}},  // the fourth VLAN database
        {nullptr, {{fb::kTagAd, 5}, {fb::kTagQ, 6}, {fb::kTagQ, 7}}},
    };
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first run" : "after a restart");
        // The probe that shows the daemon capturing must be new again.
        if (run == 1) {
            pelorin_test::raw_query(
                db_path(), std::string("DELETE FROM ipmap WHERE ipaddr = '") + kProbeIp + "'");
        }
        NamespacedProcess& daemon = start({"-f", "-V", "all", "-T", "3", "-n", script});
        ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
        for (std::size_t v = 0; v < std::size(vlans); ++v) {
            for (const fb::Bytes& frame : frames_of(static_cast<int>(v) + 1, vlans[v].tags)) {
                ns_->inject(frame);
            }
        }
        if (run == 1) {
            // A new card in VLAN 10: decided from the history kept there.
            ns_->inject(fb::tagged(fb::arp_request(fb::mac("02:00:00:00:02:99"),
                                                   fb::ipv4("10.0.2.1"), fb::ipv4("10.0.0.1")),
                                   {{fb::kTagQ, 10}}));
            ASSERT_TRUE(daemon.wait_for_err(
                "IP address 10.0.2.1 changed from 02:00:00:00:02:01 to 02:00:00:00:02:99\n"))
                << daemon.err();
        }
        ASSERT_TRUE(send_marker(daemon, 1 + run)) << daemon.err();
        ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
        ASSERT_TRUE(daemon.wait_exit().has_value());
        const std::string err = daemon.err();
        EXPECT_EQ(pelorin_test::count_of(err, "VLAN 40 not watched: more than 3 VLAN databases\n"),
                  1)
            << err;
        EXPECT_THAT(err, HasSubstr("frames not stored: 0 of VLANs whose database another process "
                                   "holds, 3 of VLANs past the limit of 3 databases\n"));
        // Three tags never pass the filter.
        EXPECT_THAT(err, Not(HasSubstr("unexpected ethernet type"))) << err;
        // The probe, the marker, and on the first run three hosts in each of
        // four databases.
        EXPECT_EQ(pelorin_test::count_of(err, "changed from (none)"), run == 0 ? 14 : 2) << err;
    }
    // Every announcement's command: each run's probe and marker, the twelve
    // hosts, the new card.
    ASSERT_TRUE(wait_until([&] { return pelorin_test::count_of(file_text(out), "\n") >= 17; }))
        << file_text(out);
    const std::string calls = file_text(out);
    EXPECT_THAT(calls, HasSubstr("cap0.10 10.0.2.1 02:00:00:00:02:99\n"));
    for (std::size_t v = 0; v < std::size(vlans); ++v) {
        const std::string n = std::to_string(v + 1);
        const std::string ipv4 = "10.0." + n + ".1";
        if (vlans[v].database == nullptr) {
            EXPECT_THAT(calls, Not(HasSubstr(" " + ipv4 + " "))) << calls;
            continue;
        }
        SCOPED_TRACE(vlans[v].database);
        const std::string db = dir_.file(std::string(vlans[v].database) + ".sqlite");
        const std::string mac = "02:00:00:00:0" + n + ":01";
        EXPECT_EQ(raw_query(db, "SELECT count(*) FROM ipmap WHERE hwaddr = '" + mac + "'"), "3");
        for (const std::string& ip : {ipv4, "2001:db8::" + n + ":1", "2001:db8::" + n + ":2"}) {
            EXPECT_THAT(calls,
                        HasSubstr(std::string(vlans[v].database) + " " + ip + " " + mac + "\n"));
        }
    }
    EXPECT_FALSE(file_exists(dir_.file("cap0.40.sqlite")));
}

// The user's filter applies to what follows the tags, so it cannot pick
// VLANs; the list given with -V does (its first id, 0 for untagged frames).
// A VLAN whose database another process holds (a watcher on a VLAN
// interface, say) is counted, not stored, and the daemon goes on.
TEST_F(DaemonEndToEnd, TrunkFilterLooksBehindTheTagsAndTheListPicksTheVlans) {
    const int held =
        open(dir_.file("cap0.100.30.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(held, F_SETLK, &lock), 0);
    NamespacedProcess& daemon =
        start({"-f", "-V", "0,10,100", "-F", "not ether src 02:00:00:00:01:01"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    const std::vector<fb::VlanTag> vlan10 = {{fb::kTagQ, 10}};
    for (const fb::Bytes& frame : frames_of(1, vlan10)) ns_->inject(frame);  // filtered
    for (const fb::Bytes& frame : frames_of(2, vlan10)) ns_->inject(frame);
    for (const fb::Bytes& frame : frames_of(3, {{fb::kTagQ, 20}})) ns_->inject(frame);
    for (const fb::Bytes& frame : frames_of(4, {{fb::kTagAd, 100}, {fb::kTagQ, 30}})) {
        ns_->inject(frame);
    }
    for (const fb::Bytes& frame : frames_of(5, {})) ns_->inject(frame);
    ASSERT_TRUE(send_marker(daemon, 3)) << daemon.err();
    ASSERT_TRUE(wait_until([&] { return pelorin_test::count_of(daemon.err(), "(none)") >= 8; }))
        << daemon.err();
    const auto hosts = [&](const std::string& database) {
        return raw_query(dir_.file(database + ".sqlite"),
                         "SELECT group_concat(DISTINCT hwaddr) FROM ipmap WHERE hwaddr LIKE "
                         "'02:00:00:00:0_:01'");
    };
    EXPECT_EQ(hosts("cap0.10"), "02:00:00:00:02:01");
    EXPECT_EQ(hosts("cap0"), "02:00:00:00:05:01");
    for (const char* unwatched : {"cap0.20.sqlite", "cap0.100.30.sqlite"}) {
        EXPECT_FALSE(file_exists(dir_.file(unwatched))) << unwatched;
    }
    ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
    ASSERT_TRUE(daemon.wait_exit().has_value());
    close(held);
    const std::string err = daemon.err();
    EXPECT_EQ(pelorin_test::count_of(err, "changed from (none)"), 8) << err;
    EXPECT_EQ(
        pelorin_test::count_of(err, "interface database " + dir_.file("cap0.100.30.sqlite") +
                                        " is in use by process " + std::to_string(getpid()) + "\n"),
        1)
        << err;
    EXPECT_THAT(err, HasSubstr("frames not stored: 3 of VLANs whose database another process "
                               "holds, 0 of VLANs past the limit of 4094 databases\n"));
}

// The metrics as a monitoring stack reads them: Debian's node exporter, on
// loopback in the namespace, serves the file the stopped watcher left, and
// the notify command tells the kinds of change apart, a flip-flop held back
// by damping reaching it once, at exit, with the count.
TEST_F(DaemonNotifyTest, MetricsReachTheNodeExporterAndDampingHoldsBackTheFlipFlop) {
    const std::string exporter = "/usr/bin/prometheus-node-exporter";
    if (!file_exists(exporter)) GTEST_SKIP() << "needs Debian's prometheus-node-exporter";
    const std::string metrics_dir = dir_.file("metrics");
    ASSERT_EQ(mkdir(metrics_dir.c_str(), 0755), 0);
    const std::string out = dir_.file("notify.out");
    const std::string script = dir_.file("notify.sh");
    pelorin_test::write_file(
        script, "#!/bin/sh\necho \"$PELORIN_EVENT ${PELORIN_SUPPRESSED:--} $4 $5 $7\" >> '" + out +
                    "'\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    NamespacedProcess& daemon = start({"-f", "-n", script, "-M", metrics_dir, "-D", "600"});
    ASSERT_TRUE(wait_capturing(daemon)) << daemon.err();
    const fb::Ipv4 ip = fb::ipv4("10.0.0.9");
    const fb::Ipv4 target = fb::ipv4("10.0.0.1");
    const fb::Mac a = fb::mac("00:11:22:00:00:01");
    const fb::Mac b = fb::mac("00:aa:bb:00:00:02");
    for (const fb::Mac& mac : {a, b, a, a}) ns_->inject(fb::arp_request(mac, ip, target));
    fb::Arp bad;
    bad.eth_source = bad.sender_mac = a;
    bad.sender_ip = ip;
    bad.opcode = 9;
    ns_->inject(fb::arp_frame(bad));
    bad.opcode = fb::kArpRequest;
    bad.hardware_type = 7;
    ns_->inject(fb::arp_frame(bad));
    bad.hardware_type = 1;
    bad.sender_mac = b;
    ns_->inject(fb::arp_frame(bad));
    ASSERT_TRUE(send_marker(daemon, 1)) << daemon.err();
    ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
    ASSERT_TRUE(daemon.wait_exit().has_value());
    EXPECT_EQ(pelorin_test::count_of(daemon.err(), "IP address 10.0.0.9 changed"), 3)
        << daemon.err();

    ASSERT_TRUE(wait_until([&] { return pelorin_test::count_of(file_text(out), "\n") >= 5; }))
        << file_text(out);
    const std::string calls = file_text(out);
    EXPECT_THAT(calls, HasSubstr("new - 10.0.0.9 00:11:22:00:00:01 (none)\n"));
    EXPECT_THAT(calls, HasSubstr("changed - 10.0.0.9 00:aa:bb:00:00:02 00:11:22:00:00:01\n"));
    EXPECT_THAT(calls, HasSubstr("flip-flop 1 10.0.0.9 00:11:22:00:00:01 00:aa:bb:00:00:02\n"));
    EXPECT_EQ(pelorin_test::count_of(calls, " 10.0.0.9 "), 3) << calls;

    const std::string file = metrics_dir + "/pelorin-cap0.prom";
    const auto lint =
        pelorin_test::run_program({"/bin/sh", "-c", "promtool check metrics < " + file});
    EXPECT_EQ(lint.exit_status, 0) << lint.out << lint.err;
    EXPECT_EQ(lint.out + lint.err, "");

    ASSERT_EQ(ns_->run({"ip", "link", "set", "lo", "up"}).exit_status, 0);
    processes_.push_back(std::make_unique<NamespacedProcess>(
        *ns_, exporter,
        std::vector<std::string>{"--web.listen-address=127.0.0.1:9100",
                                 "--collector.disable-defaults", "--collector.textfile",
                                 "--collector.textfile.directory=" + metrics_dir},
        dir_.path()));
    std::string scraped;
    ASSERT_TRUE(wait_until([&] {
        const auto curl = ns_->run({"curl", "-sSf", "http://127.0.0.1:9100/metrics"});
        scraped = curl.out;
        return curl.exit_status == 0;
    })) << processes_.back()->err();
    // The exporter says whether it could read the directory's files.
    EXPECT_THAT(scraped, HasSubstr("node_textfile_scrape_error 0\n"));
    const std::string cap0 = "{interface=\"cap0\"} ";
    for (const std::string& line : std::vector<std::string>{
             "pelorin_up" + cap0 + "0",
             "pelorin_frames_rejected_total{interface=\"cap0\",reason=\"arp_opcode\"} 1",
             "pelorin_frames_rejected_total{interface=\"cap0\",reason=\"arp_hardware_type\"} 1",
             "pelorin_frames_rejected_total{interface=\"cap0\",reason=\"arp_sender_mismatch\"} 1",
             "pelorin_frames_rejected_total{interface=\"cap0\",reason=\"ether_type\"} 0",
             // The probe, the address and the marker.
             "pelorin_bindings_new_total" + cap0 + "3",
             "pelorin_bindings_changed_total" + cap0 + "2",
             "pelorin_bindings_flip_flops_total" + cap0 + "1",
             "pelorin_notify_suppressed_total" + cap0 + "1",
             "pelorin_notify_commands_failed_total" + cap0 + "0",
             "pelorin_capture_dropped_frames_total{interface=\"cap0\",where=\"kernel\"} 0",
         }) {
        EXPECT_THAT(scraped, HasSubstr("\n" + line + "\n"));
    }
    // Started: the probe, the address's first two bindings, the marker, and
    // the summary sent at exit.
    EXPECT_THAT(scraped, HasSubstr("\npelorin_notify_commands_started_total" + cap0 + "5\n"));
    // Three frames of the address and three refused, beside the probes.
    std::uint64_t frames = 0;
    std::uint64_t observations = 0;
    double newest = 0;
    std::istringstream lines(scraped);
    for (std::string line; std::getline(lines, line);) {
        std::sscanf(line.c_str(), "pelorin_frames_total{interface=\"cap0\"} %" SCNu64, &frames);
        std::sscanf(line.c_str(), "pelorin_observations_total{interface=\"cap0\"} %" SCNu64,
                    &observations);
        std::sscanf(line.c_str(), "pelorin_last_frame_timestamp_seconds{interface=\"cap0\"} %lf",
                    &newest);
    }
    EXPECT_GE(frames, 9u) << scraped;
    EXPECT_EQ(frames - observations, 3u) << scraped;
    EXPECT_NEAR(newest, static_cast<double>(std::time(nullptr)), 60.0);
}
