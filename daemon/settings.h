// The daemon's command line: the option values every other module reads,
// written once by parse_options and never changed afterwards, and the usage
// text that every rejected command line ends with.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kUserFilterMax = 100;
constexpr std::int64_t kDefaultRetentionDays = 30;
constexpr std::int32_t kMinimumSnaplen = 128;

struct DaemonSettings {
    const char* interface_name = nullptr;
    const char* notify_command = nullptr;  // nullptr: no command is run
    const char* pid_file = nullptr;        // nullptr: no pid file
    const char* user_filter = nullptr;     // nullptr: the fixed filter alone
    std::int64_t retention_days = kDefaultRetentionDays;
    int promiscuous = 0;
    std::int32_t snaplen = kMinimumSnaplen;
    int foreground = 0;
};

extern DaemonSettings settings;

// argv[0] as given, for the usage text.
extern const char* program_name;

// Writes the usage text to standard error and ends the process with status 1.
[[noreturn]] void print_usage();

// Fills settings, use_syslog and library_directory from the command line;
// any rejected option or operand count ends in print_usage(). Parsing stops
// at the first operand.
void parse_options(int argc, char** argv);
