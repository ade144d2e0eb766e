// The daemon's command line: the option values, made once by parse_options
// and handed down to whatever needs them, and the usage text that every
// rejected command line ends with.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

#include "library_dir.h"

constexpr std::size_t kUserFilterMax = 100;
constexpr std::int64_t kDefaultRetentionDays = 30;
constexpr std::int32_t kMinimumSnaplen = 128;
// VLAN ids 1 to 4094 each name a VLAN; 0 stands for untagged frames.
constexpr std::size_t kVlanIds = 4095;
constexpr int kDefaultMaxVlanDatabases = 4094;
// Two tags can name more VLANs than one; each database costs descriptors.
constexpr int kMostVlanDatabases = 65536;
constexpr int kMetricsIntervalSeconds = 15;
// A day: a window longer than that hides real trouble.
constexpr std::int64_t kMostDampingSeconds = 86400;

struct DaemonSettings {
    // argv[0] as given, for the usage text.
    const char* program_name = "pelorin";
    LibraryDir library;
    const char* interface_name = nullptr;
    const char* notify_command = nullptr;  // nullptr: no command is run
    const char* pid_file = nullptr;        // nullptr: no pid file
    const char* user_filter = nullptr;     // nullptr: the fixed filter alone
    std::int64_t retention_days = kDefaultRetentionDays;
    int promiscuous = 0;
    std::int32_t snaplen = kMinimumSnaplen;
    int foreground = 0;
    // -V: VLAN tags are looked into, and every VLAN gets a database of its
    // own, "IFNAME.VID" or, under two tags, "IFNAME.OUTER.INNER".
    bool vlan_tags = false;
    // The outermost VLAN ids watched with -V (bit 0: untagged frames).
    std::bitset<kVlanIds> vlans;
    // -T: VLAN databases at most, besides the interface's own.
    int max_vlan_databases = kDefaultMaxVlanDatabases;
    // -M: where the metrics file is written; nullptr: no metrics.
    const char* metrics_directory = nullptr;
    // -D: flip-flops within this many seconds of an address's last
    // notification start no notify command; 0 damps nothing.
    std::int64_t damping_seconds = 0;
};

// A -V argument: "all", or VLAN ids and ranges ("0,10,20-29"), each from 0
// to 4094, 0 standing for untagged frames. False when it is neither.
bool parse_vlan_list(const char* text, std::bitset<kVlanIds>* vlans);

// Writes the usage text to standard error and ends the process with status 1.
[[noreturn]] void print_usage(const char* program_name);

// The settings from the command line (and use_syslog from -s); any rejected
// option or operand count ends in print_usage(). Parsing stops at the first
// operand.
DaemonSettings parse_options(int argc, char** argv);
