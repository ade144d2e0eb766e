// The record report: one line per recorded binding of an interface
// database, with the date of its first sighting, its age in days, host
// name, addresses and organisation, oldest first sighting first.
#pragma once

#include "interface_db.h"

// Longest address operand accepted: the longest IPv6 presentation form plus
// one spare character, as the report has always allowed.
constexpr int kMaxQueryAddressLength = 46;

// True when text is 17 characters of six hexadecimal pairs joined by colons,
// in either case; such an operand is compared with hwaddr, anything else
// with ipaddr.
bool has_hardware_address_form(const char* text);

// Prints the newest row per IP address (all_records 0) or every row, narrowed
// by iptype (0 both, 4, 6; ignored with an IP address) and by address
// (hardware or IP address text, or nullptr for none). Any failure ends the
// process. REQUIRES: the vendor database is attached to db.
void report_bindings(InterfaceDb& db, int iptype, int all_records, const char* address);
