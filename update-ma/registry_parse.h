// Turns one line of a block registry CSV file (Registry,Assignment,
// Organization Name,...) into a vendor table row: the prefix in the form the
// lookups compare against and the organisation as stored. Pure text work, no
// files and no database, so that it can be fuzzed on its own.
#pragma once

#include <cstddef>
#include <string_view>

// Longest organisation stored, in bytes.
constexpr std::size_t kOrganisationMax = 128;

struct RegistryRow {
    // "xx:xx:xx", "xx:xx:xx:x" or "xx:xx:xx:xx:x", lower case.
    char prefix[sizeof "xx:xx:xx:xx:xx:xx"];
    // At most kOrganisationMax bytes; every apostrophe of the registry
    // reads as a backquote, as vendor databases have always stored it.
    char organisation[kOrganisationMax + 1];
    // The assignment field as read; a view into the line.
    std::string_view assignment;
};

enum class RegistryLine {
    // Not an assignment row (header, continuation of a multi-line address,
    // missing fields); ignored without a word.
    skipped,
    // prefix and organisation are set.
    accepted,
    // An assignment row whose assignment is not 6, 7 or 9 bytes long; only
    // assignment is set.
    bad_assignment,
};

// The line is taken up to its first NUL byte, as a C string would be; a
// trailing line end belongs to the last field and is never looked at.
RegistryLine parse_registry_line(std::string_view line, RegistryRow& row);
