// The daemon's command line: the option values, made once by parse_options
// and handed down to whatever needs them, and the usage text that every
// rejected command line ends with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "library_dir.h"

constexpr std::size_t kUserFilterMax = 100;
constexpr std::int64_t kDefaultRetentionDays = 30;
constexpr std::int32_t kMinimumSnaplen = 128;

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
};

// Writes the usage text to standard error and ends the process with status 1.
[[noreturn]] void print_usage(const char* program_name);

// The settings from the command line (and use_syslog from -s); any rejected
// option or operand count ends in print_usage(). Parsing stops at the first
// operand.
DaemonSettings parse_options(int argc, char** argv);
