// Text as it may appear in a report page: every text that comes from a
// database, a resolver or a registry is escaped before it touches the page,
// and an interface name becomes both a file name and a link target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends text with &, <, >, " and ' replaced by character references, so
// it reads as text in element content and in quoted attribute values alike.
void append_escaped(std::string& out, std::string_view text);

// Appends text with every byte outside the unreserved URI characters
// (letters, digits, "-", ".", "_", "~") percent-encoded: safe as a relative
// link and in an attribute without further escaping.
void append_uri_encoded(std::string& out, std::string_view text);

// File of page `page` (from 1) of an interface: "if-NAME.html" for the first,
// "pN-if-NAME.html" after it. No interface name can yield "index.html" or
// another interface's page.
std::string interface_page_name(std::string_view interface_name, int page);

// True for a name interface_page_name can produce, whatever the interface.
bool is_interface_page_name(std::string_view file_name);

// "YYYY-MM-DD HH:MM:SS" in local time, or "YYYY-MM-DD" when with_time is
// false; "(none)" for 0.
std::string format_local_time(std::int64_t seconds, bool with_time);

// "YYYY-MM-DD" of a day number (days since 1970-01-01 of the calendar the
// number was counted in).
std::string format_day_number(std::int64_t day);

// The order interfaces are listed in: runs of digits compare as numbers, so
// that eth0.2 comes before eth0.10 and eth2 before eth10.
bool natural_less(std::string_view a, std::string_view b);
