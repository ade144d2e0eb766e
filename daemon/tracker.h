// What an observation means: a new or changed binding (recorded and
// announced), a repeated sighting (refreshed at most every eight hours), or
// nothing; plus the periodic expiry of bindings no longer seen. The
// decisions are the watcher's (Watcher::track, Watcher::expire_if_due, in
// tracker.cc); this header holds their fixed quantities.
#pragma once

#include <cstdint>

#include "observation.h"

// Minimum age before a binding's utime is refreshed, and the spacing of
// expiry passes in capture time.
constexpr std::int64_t REFRESH_INTERVAL = 28800;
constexpr std::int64_t kSecondsPerDay = 86400;

// The deletion cut-off for a pass at capture_sec, or false when it would
// leave the signed 64-bit range: then nothing may be deleted.
bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff);
