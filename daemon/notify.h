// Announces a new or changed binding: always as a warning, and, when a
// notify command is configured, by starting that command in a child process
// with the change's details as its eight arguments.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

#include "observation.h"

// date_time when the capture second cannot be converted to local time.
constexpr char kUnknownDateTime[] = "0000-00-00 00:00:00";

// Local date and time of the capture second, "%04d-%02d-%02d %02d:%02d:%02d",
// or kUnknownDateTime. REQUIRES: size >= sizeof kUnknownDateTime.
void format_capture_time(std::int64_t sec, char* out, std::size_t size);

// old_hwaddr is "(none)" for a first sighting. Returns right after the fork;
// the child is never waited for.
void notify_change(sqlite3* db, const CaptureTime& ts, int family, const unsigned char* addr,
                   const char* ipaddr, const char* hwaddr, const char* old_hwaddr);
