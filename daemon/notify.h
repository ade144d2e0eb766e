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

// At most this many notify commands run at once; the rest wait in a queue
// of bounded length, and what overflows it is dropped with a warning (at
// most one a second, with the count).
constexpr std::size_t kMaxNotifyChildren = 32;
constexpr std::size_t kMaxQueuedNotifications = 65536;

// old_hwaddr is "(none)" for a first sighting. Warns at once, then starts
// the notify command in a child (or queues it when kMaxNotifyChildren are
// running) and returns; the child is never waited for in a way that stops
// capture.
void notify_change(sqlite3* db, const CaptureTime& ts, int family, const unsigned char* addr,
                   const char* ipaddr, const char* hwaddr, const char* old_hwaddr);

// Collects the children that have ended (without waiting) and starts
// queued commands in their places. The capture loop calls it after every
// dispatch; SIGCHLD wakes the loop for it.
void notify_reap();

// Notify commands running now.
std::size_t notify_children();

// For tests only: other bounds than the constants above.
void notify_set_limits(std::size_t children, std::size_t queue);
