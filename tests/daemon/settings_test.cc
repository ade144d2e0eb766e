// The command line: defaults, every rejection (usage text, status 1), the
// byte-exact usage text, parsing that stops at the first operand, the
// filter text that gets compiled, and the start-up order of the path check.
#include "settings.h"

#include <gtest/gtest.h>

#include <bitset>
#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "diag.h"
#include "test_support.h"

namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  pelorin-under-test [-h] [-f] [-s] [-n cmd] [-p file] [-F filter] [-L dir] [-O days] [-P] "
    "[-S len] [-V vlans] [-T count] [-M dir] [-D seconds] ifname\n"
    "  options:\n"
    "    -h display usage\n"
    "    -f run in foreground\n"
    "    -s log notifications via syslog\n"
    "    -n notify command\n"
    "    -p process id file name\n"
    "    -F additional pcap filter (max 100 bytes)\n"
    "    -L directory for database files (default: /var/db/pelorin)\n"
    "    -O number of days before deleting old records (default: 30)\n"
    "    -P enable promiscuous mode\n"
    "    -S pcap snaplen (default/minimum: 128)\n"
    "    -V watch VLAN tags, a database per VLAN: all, or VLAN ids and ranges (0: untagged)\n"
    "    -T most VLAN databases with -V (default: 4094)\n"
    "    -M directory for the metrics file, written every 15 s and at exit\n"
    "    -D seconds after a notification to hold back flip-flops (default: 0)\n"
    "  \nNotes:\n"
    "    The notify command is invoked as: cmd date_time ifname hostname ipaddr new_hwaddr "
    "new_hwaddr_org old_hwaddr old_hwaddr_org\n"
    "    For details on tcpdump/pcap filter formats, see "
    "https://www.tcpdump.org/manpages/pcap-filter.7.html\n";

const char* or_none(const char* text) { return text != nullptr ? text : "-"; }

// Parses in a child and prints what the settings became.
pelorin_test::ChildResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "pelorin-under-test");
    return pelorin_test::run_in_child([&] {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const DaemonSettings settings = parse_options(static_cast<int>(args.size()), argv.data());
        std::printf("if=%s n=%s p=%s F=%s O=%lld P=%d S=%d f=%d s=%d L=%s",
                    or_none(settings.interface_name), or_none(settings.notify_command),
                    or_none(settings.pid_file), or_none(settings.user_filter),
                    static_cast<long long>(settings.retention_days), settings.promiscuous,
                    static_cast<int>(settings.snaplen), settings.foreground, use_syslog,
                    settings.library.path());
        if (settings.vlan_tags) {
            std::printf(" V=%zu T=%d", settings.vlans.count(), settings.max_vlan_databases);
        }
        if (settings.metrics_directory != nullptr || settings.damping_seconds != 0) {
            std::printf(" M=%s D=%lld", or_none(settings.metrics_directory),
                        static_cast<long long>(settings.damping_seconds));
        }
    });
}

void expect_usage(const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    const auto result = parse(args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    // Behind the option parser's own complaint, if any.
    ASSERT_GE(result.err.size(), sizeof kUsage - 1);
    EXPECT_EQ(result.err.substr(result.err.size() - (sizeof kUsage - 1)), kUsage);
}

void expect_parsed(const std::vector<std::string>& args, const std::string& summary) {
    const auto result = parse(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, summary);
}

}  // namespace

TEST(Settings, HelpPrintsTheExactUsageAndFails) {
    const auto result = parse({"-h"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, kUsage);
    EXPECT_EQ(parse({"-h", "eth0"}).err, kUsage);
}

TEST(Settings, DefaultsAndEveryOption) {
    expect_parsed({"eth0"}, "if=eth0 n=- p=- F=- O=30 P=0 S=128 f=0 s=0 L=/var/db/pelorin");
    expect_parsed({"-f", "-s", "-P", "-n", "/usr/local/bin/tell", "-p", "/run/p.pid", "-F",
                   "vlan", "-L", "/tmp/lib", "-O", "7", "-S", "1500", "eth1"},
                  "if=eth1 n=/usr/local/bin/tell p=/run/p.pid F=vlan O=7 P=1 S=1500 f=1 s=1 "
                  "L=/tmp/lib");
    // Repeated options: the last one wins.
    expect_parsed({"-O", "3", "-O", "9", "-F", "a", "-F", "b", "eth0"},
                  "if=eth0 n=- p=- F=b O=9 P=0 S=128 f=0 s=0 L=/var/db/pelorin");
}

TEST(Settings, OperandCountAndOptionsAfterTheOperand) {
    expect_usage({});
    expect_usage({"eth0", "eth1"});
    expect_usage({"eth0", "-f"});  // parsing stops at the first operand
    expect_usage({"-x", "eth0"});
    expect_usage({"eth0", "-n"});
    expect_usage({"-n"});
}

TEST(Settings, FilterLengthIsCheckedForEachOccurrence) {
    const std::string hundred(100, 'x');
    expect_parsed({"-F", hundred, "eth0"},
                  "if=eth0 n=- p=- F=" + hundred + " O=30 P=0 S=128 f=0 s=0 L=/var/db/pelorin");
    expect_usage({"-F", hundred + "x", "eth0"});
    expect_usage({"-F", hundred + "x", "-F", "ok", "eth0"});
    expect_usage({"-F", "ok", "-F", hundred + "x", "eth0"});
}

TEST(Settings, RetentionMustBeAPositiveNumber) {
    for (const char* bad : {"0", "-3", "5x", "", "7 "}) expect_usage({"-O", bad, "eth0"});
    const std::string tail = " P=0 S=128 f=0 s=0 L=/var/db/pelorin";
    expect_parsed({"-O", "+7", "eth0"}, "if=eth0 n=- p=- F=- O=7" + tail);
    expect_parsed({"-O", " 7", "eth0"}, "if=eth0 n=- p=- F=- O=7" + tail);
    // The conversion saturates; the cut-off guards against the result.
    expect_parsed({"-O", "99999999999999999999", "eth0"},
                  "if=eth0 n=- p=- F=- O=9223372036854775807" + tail);
}

TEST(Settings, SnaplenMustBeAtLeast128AndFit32Bits) {
    for (const char* bad : {"127", "0", "-128", "128x", "", "2147483648", "4294967424",
                            "99999999999999999999", "-99999999999999999999"}) {
        expect_usage({"-S", bad, "eth0"});
    }
    expect_parsed({"-S", "128", "eth0"},
                  "if=eth0 n=- p=- F=- O=30 P=0 S=128 f=0 s=0 L=/var/db/pelorin");
    expect_parsed({"-S", "2147483647", "eth0"},
                  "if=eth0 n=- p=- F=- O=30 P=0 S=2147483647 f=0 s=0 L=/var/db/pelorin");
}

TEST(Settings, VlanListsAndTheDatabaseLimit) {
    const struct {
        const char* text;
        std::size_t count;  // 0: refused
    } lists[] = {
        {"all", 4095}, {"0", 1},    {"0,10,20-29", 12}, {"4094", 1}, {"5-5", 1},
        {"", 0},       {"4095", 0}, {"10-5", 0},        {"ten", 0},  {"1,,2", 0},
        {"1-", 0},     {"-1", 0},   {"10,", 0},         {"10 ", 0},  {"all,10", 0},
    };
    for (const auto& list : lists) {
        SCOPED_TRACE(list.text);
        std::bitset<kVlanIds> vlans;
        EXPECT_EQ(parse_vlan_list(list.text, &vlans), list.count != 0);
        if (list.count != 0) {
            EXPECT_EQ(vlans.count(), list.count);
        }
    }
    std::bitset<kVlanIds> some;
    ASSERT_TRUE(parse_vlan_list("0,10,20-29", &some));
    EXPECT_TRUE(some.test(0) && some.test(10) && some.test(20) && some.test(29));
    EXPECT_FALSE(some.test(11) || some.test(19) || some.test(30));

    const std::string tail = " O=30 P=0 S=128 f=0 s=0 L=/var/db/pelorin";
    expect_parsed({"-V", "all", "eth0"}, "if=eth0 n=- p=- F=-" + tail + " V=4095 T=4094");
    expect_parsed({"-V", "10,20", "-T", "65536", "eth0"},
                  "if=eth0 n=- p=- F=-" + tail + " V=2 T=65536");
    for (const char* bad : {"0", "65537", "5x", ""}) expect_usage({"-V", "all", "-T", bad, "eth0"});
    expect_usage({"-V", "4095", "eth0"});
}

TEST(Settings, MetricsDirectoryAndDampingWindow) {
    const std::string tail = " O=30 P=0 S=128 f=0 s=0 L=/var/db/pelorin";
    expect_parsed({"-M", "/var/db/pelorin/metrics", "-D", "600", "eth0"},
                  "if=eth0 n=- p=- F=-" + tail + " M=/var/db/pelorin/metrics D=600");
    expect_parsed({"-D", "86400", "eth0"}, "if=eth0 n=- p=- F=-" + tail + " M=- D=86400");
    for (const char* bad : {"-1", "86401", "10s", ""}) expect_usage({"-D", bad, "eth0"});
}

TEST(Settings, FilterTextIsTheFixedFilterOptionallyNarrowed) {
    EXPECT_EQ(build_filter_text(nullptr, false),
              "((arp && not src 0) || (icmp6 && (icmp6[icmp6type] == icmp6-neighborsolicit || "
              "icmp6[icmp6type] == icmp6-neighboradvert) && not src ::))");
    const std::string hundred(100, 'y');
    const std::string narrowed = std::string(CAPTURE_FILTER) + " and (" + hundred + ")";
    EXPECT_EQ(build_filter_text(hundred.c_str(), false), narrowed);
    // Under tags each level nests in the one before, the user's filter in
    // every level: it applies to what follows the tags.
    EXPECT_EQ(
        build_filter_text(hundred.c_str(), true),
        "(" + narrowed + ") or (vlan and ((" + narrowed + ") or (vlan and (" + narrowed + "))))");
}

TEST(Settings, PathCheckComesBeforeTheCaptureHandle) {
    // 1013 bytes of directory and interface name pass; 1014 do not. The
    // directory does not exist, so the passing case fails later, at the
    // capture handle of an interface that does not exist either.
    const std::string ifname = "nosuchif0";
    const std::string dir_ok = "/" + std::string(1013 - ifname.size() - 1, 'd');
    const std::string dir_long = dir_ok + "d";
    const auto too_long = pelorin_test::run_program(
        {pelorin_test::built_program("pelorin"), "-f", "-L", dir_long, ifname});
    EXPECT_EQ(too_long.exit_status, 1);
    EXPECT_EQ(too_long.err, "db_filename (" + dir_long + "/" + ifname +
                                ".sqlite) exceeds maximum length of 1024\n");
    const auto fits = pelorin_test::run_program(
        {pelorin_test::built_program("pelorin"), "-f", "-L", dir_ok, ifname});
    EXPECT_EQ(fits.exit_status, 1);
    EXPECT_EQ(fits.err.rfind("pcap_", 0), 0u) << fits.err;
}
