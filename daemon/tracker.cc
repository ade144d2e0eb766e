#include "tracker.h"

#include <cstring>

#include "binding_store.h"
#include "names.h"
#include "notify.h"
#include "settings.h"
#include "store.h"

std::int64_t next_expiry = 0;

void track_binding(sqlite3* db, const BindingObservation& observation) {
    CurrentBinding current{};
    binding_current(db, observation.iptype, observation.ipaddr, &current);

    const char* old_hwaddr = kPlaceholderNone;
    if (current.found != 0) {
        // Compared as text: that is what the database stores.
        if (std::strncmp(observation.hwaddr, current.hwaddr, sizeof current.hwaddr) == 0) {
            if (current.age >= REFRESH_INTERVAL) {
                binding_touch(db, current.rowid, observation.ts.sec);
            }
            return;
        }
        old_hwaddr = current.hwaddr;
    }
    // The change is announced even when the insert failed: the administrator
    // must hear of it either way.
    binding_insert(db, observation.iptype, observation.ipaddr, observation.hwaddr,
                   observation.ts.sec, observation.ts.usec);
    notify_change(db, observation.ts, observation.family, observation.addr, observation.ipaddr,
                  observation.hwaddr, old_hwaddr);
}

bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff) {
    std::int64_t retention_seconds = 0;
    if (__builtin_mul_overflow(retention_days, kSecondsPerDay, &retention_seconds)) return false;
    return !__builtin_sub_overflow(capture_sec, retention_seconds, cutoff);
}

void expire_if_due(sqlite3* db, std::int64_t capture_sec) {
    if (capture_sec < next_expiry) return;
    // A retention too long to express as a cut-off keeps everything rather
    // than wrapping around to a cut-off in the future.
    std::int64_t cutoff = 0;
    if (expiry_cutoff(capture_sec, settings.retention_days, &cutoff)) binding_expire(db, cutoff);
    store_maintain(db);
    if (__builtin_add_overflow(capture_sec, REFRESH_INTERVAL, &next_expiry)) {
        next_expiry = INT64_MAX;
    }
}
