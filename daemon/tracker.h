// What an observation means: a new or changed binding (recorded and
// announced), a repeated sighting (refreshed at most every eight hours), or
// nothing; plus the periodic expiry of bindings no longer seen.
#pragma once

#include <sqlite3.h>

#include <cstdint>

// Minimum age before a binding's utime is refreshed, and the spacing of
// expiry passes in capture time.
constexpr std::int64_t REFRESH_INTERVAL = 28800;
constexpr std::int64_t kSecondsPerDay = 86400;

struct CaptureTime {
    std::int64_t sec;
    std::int64_t usec;
};

// One validated sighting. Valid for the duration of the call only: the
// texts live in the decoder's buffers and addr points into the frame.
struct BindingObservation {
    int iptype;                // 4 or 6
    int family;                // AF_INET or AF_INET6
    const unsigned char* addr;  // 4 or 16 bytes, network byte order
    const char* ipaddr;
    const char* hwaddr;  // "xx:xx:xx:xx:xx:xx"
    CaptureTime ts;
};

// Capture second at or after which the next expiry pass runs; 0 at start,
// so the first accepted frame runs one.
extern std::int64_t next_expiry;

void track_binding(sqlite3* db, const BindingObservation& observation);
void expire_if_due(sqlite3* db, std::int64_t capture_sec);

// The deletion cut-off for a pass at capture_sec, or false when it would
// leave the signed 64-bit range: then nothing may be deleted.
bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff);
