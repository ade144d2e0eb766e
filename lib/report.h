// The record report: one line per recorded binding of an interface database,
// with the date of its first sighting, its age in days, host name, addresses
// and organisation, oldest first sighting first.
#pragma once

#include <sqlite3.h>

// Longest address operand accepted: the longest IPv6 presentation form plus
// one spare character, as the report has always allowed.
constexpr int kMaxQueryAddressLength = 46;

// The organisation of a row's hwaddr column, most specific registration
// first, for every statement that reports bindings (a macro so that it can
// be joined to other literals at compile time).
#define PELORIN_ORGANISATION_OF_HWADDR \
    "coalesce(\n" \
    "(SELECT org FROM ma_s WHERE prefix = substr(hwaddr,1,13)),\n" \
    "(SELECT org FROM ma_m WHERE prefix = substr(hwaddr,1,10)),\n" \
    "(SELECT org FROM ma_l WHERE prefix = substr(hwaddr,1,8)),\n" \
    "(SELECT org FROM ma_u WHERE prefix = substr(hwaddr,2,1)),\n" \
    "'(unknown)'\n" \
    ")\n"

// True when text is 17 characters of six hexadecimal pairs joined by colons,
// in either case; such an operand is compared with hwaddr, anything else
// with ipaddr.
bool has_hardware_address_form(const char* text);

// Prints the newest row per IP address (all_records 0) or every row, narrowed
// by iptype (0 both, 4, 6; ignored with an IP address) and by address
// (hardware or IP address text, or nullptr for none). Returns 0; any failure
// ends the process.
// REQUIRES: db is an interface database with the vendor database attached.
int report_bindings(sqlite3* db, int iptype, int all_records, const char* address);
