#include "settings.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"

namespace {

// Leading "+": stop at the first operand instead of permuting, so an option
// written after the interface name counts as a second operand.
constexpr char kOptions[] = "+hfsn:p:F:L:O:PS:V:T:M:D:";

constexpr char kFilterManual[] = "https://www.tcpdump.org/manpages/pcap-filter.7.html";

// Standard signed 64-bit conversion (leading blanks and a sign accepted,
// saturating on overflow); false when there is no number or characters
// remain after it.
bool parse_number(const char* text, std::int64_t* value) {
    char* end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0') return false;
    *value = n;
    return true;
}

// One decimal id from 0 to 4094 at the front of text; advances text.
bool parse_vlan_id(const char*& text, std::size_t* id) {
    if (*text < '0' || *text > '9') return false;
    std::size_t n = 0;
    while (*text >= '0' && *text <= '9') {
        n = n * 10 + static_cast<std::size_t>(*text++ - '0');
        if (n >= kVlanIds) return false;
    }
    *id = n;
    return true;
}

}  // namespace

bool parse_vlan_list(const char* text, std::bitset<kVlanIds>* vlans) {
    vlans->reset();
    if (std::strcmp(text, "all") == 0) {
        vlans->set();
        return true;
    }
    for (;;) {
        std::size_t first = 0, last = 0;
        if (!parse_vlan_id(text, &first)) return false;
        last = first;
        if (*text == '-') {
            ++text;
            if (!parse_vlan_id(text, &last) || last < first) return false;
        }
        for (std::size_t id = first; id <= last; ++id) vlans->set(id);
        if (*text == '\0') return true;
        if (*text++ != ',') return false;
    }
}

void print_usage(const char* program_name) {
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr,
                 "  %s [-h] [-f] [-s] [-n cmd] [-p file] [-F filter] [-L dir] [-O days] [-P] [-S "
                 "len] [-V vlans] [-T count] [-M dir] [-D seconds] ifname\n",
                 program_name);
    std::fprintf(stderr, "  options:\n");
    std::fprintf(stderr, "    -h display usage\n");
    std::fprintf(stderr, "    -f run in foreground\n");
    std::fprintf(stderr, "    -s log notifications via syslog\n");
    std::fprintf(stderr, "    -n notify command\n");
    std::fprintf(stderr, "    -p process id file name\n");
    std::fprintf(stderr, "    -F additional pcap filter (max %d bytes)\n",
                 static_cast<int>(kUserFilterMax));
    std::fprintf(stderr, "    -L directory for database files (default: %s)\n",
                 kDefaultLibraryDirectory);
    std::fprintf(stderr, "    -O number of days before deleting old records (default: %u)\n",
                 static_cast<unsigned>(kDefaultRetentionDays));
    std::fprintf(stderr, "    -P enable promiscuous mode\n");
    std::fprintf(stderr, "    -S pcap snaplen (default/minimum: %u)\n",
                 static_cast<unsigned>(kMinimumSnaplen));
    std::fprintf(stderr,
                 "    -V watch VLAN tags, a database per VLAN: all, or VLAN ids and ranges "
                 "(0: untagged)\n");
    std::fprintf(stderr, "    -T most VLAN databases with -V (default: %d)\n",
                 kDefaultMaxVlanDatabases);
    std::fprintf(stderr, "    -M directory for the metrics file, written every %d s and at exit\n",
                 kMetricsIntervalSeconds);
    std::fprintf(stderr,
                 "    -D seconds after a notification to hold back flip-flops (default: 0)\n");
    std::fprintf(stderr, "  \nNotes:\n");
    std::fprintf(stderr,
                 "    The notify command is invoked as: cmd date_time ifname hostname ipaddr "
                 "new_hwaddr new_hwaddr_org old_hwaddr old_hwaddr_org\n");
    std::fprintf(stderr, "    For details on tcpdump/pcap filter formats, see %s\n", kFilterManual);
    std::exit(1);
}

DaemonSettings parse_options(int argc, char** argv) {
    DaemonSettings settings;
    if (argc > 0 && argv[0] != nullptr) settings.program_name = argv[0];
    int option = 0;
    while ((option = getopt(argc, argv, kOptions)) != -1) {
        switch (option) {
            case 'f':
                settings.foreground = 1;
                break;
            case 's':
                use_syslog = 1;
                break;
            case 'n':
                settings.notify_command = optarg;
                break;
            case 'p':
                settings.pid_file = optarg;
                break;
            case 'F':
                if (std::strlen(optarg) > kUserFilterMax) print_usage(settings.program_name);
                settings.user_filter = optarg;
                break;
            case 'L':
                settings.library = LibraryDir(optarg);
                break;
            case 'O': {
                std::int64_t days = 0;
                if (!parse_number(optarg, &days) || days <= 0) print_usage(settings.program_name);
                settings.retention_days = days;
                break;
            }
            case 'P':
                settings.promiscuous = 1;
                break;
            case 'S': {
                // Refused rather than cut to the low 32 bits: a huge length
                // must not turn into a small or negative one.
                std::int64_t length = 0;
                if (!parse_number(optarg, &length) || length < kMinimumSnaplen ||
                    length > INT32_MAX) {
                    print_usage(settings.program_name);
                }
                settings.snaplen = static_cast<std::int32_t>(length);
                break;
            }
            case 'V':
                if (!parse_vlan_list(optarg, &settings.vlans)) print_usage(settings.program_name);
                settings.vlan_tags = true;
                break;
            case 'T': {
                std::int64_t count = 0;
                if (!parse_number(optarg, &count) || count < 1 || count > kMostVlanDatabases) {
                    print_usage(settings.program_name);
                }
                settings.max_vlan_databases = static_cast<int>(count);
                break;
            }
            case 'M':
                settings.metrics_directory = optarg;
                break;
            case 'D': {
                std::int64_t seconds = 0;
                if (!parse_number(optarg, &seconds) || seconds < 0 ||
                    seconds > kMostDampingSeconds) {
                    print_usage(settings.program_name);
                }
                settings.damping_seconds = seconds;
                break;
            }
            default:  // -h, an unknown letter or a missing argument
                print_usage(settings.program_name);
        }
    }
    if (argc - optind != 1) print_usage(settings.program_name);
    settings.interface_name = argv[optind];
    return settings;
}
