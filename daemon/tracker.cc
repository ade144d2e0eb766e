#include "tracker.h"

#include <cstring>
#include <string_view>

#include "names.h"
#include "notify.h"
#include "store.h"
#include "watcher.h"

namespace {

// The order of the current-binding statement: the latest first sighting.
bool older(std::int64_t sec, std::int64_t usec, const CachedBinding& than) {
    return sec < than.sec || (sec == than.sec && usec < than.usec);
}

CachedBinding cached_from(const CurrentBinding& current) {
    CachedBinding binding{current.rowid, current.sec, current.usec, current.utime, {}};
    std::memcpy(binding.hwaddr, current.hwaddr, sizeof binding.hwaddr);
    return binding;
}

}  // namespace

void Watcher::track(const BindingObservation& observation) {
    const std::string_view ipaddr = observation.ipaddr;
    const bool cache_valid = cache_enabled_ && cache_.validate();

    CurrentBinding current{};
    bool lookup_reliable = false;
    const CachedBinding* hit = cache_valid ? cache_.find(observation.iptype, ipaddr) : nullptr;
    std::int64_t now = 0;
    // An age beyond the 64-bit range is left to the database to compute.
    if (hit != nullptr && database_now(&now) &&
        !__builtin_sub_overflow(now, hit->utime, &current.age)) {
        current.found = 1;
        current.rowid = hit->rowid;
        current.sec = hit->sec;
        current.usec = hit->usec;
        current.utime = hit->utime;
        std::memcpy(current.hwaddr, hit->hwaddr, sizeof current.hwaddr);
        lookup_reliable = true;
    } else {
        lookup_reliable = statements_.current(observation.iptype, observation.ipaddr, &current);
        if (cache_valid && current.found != 0) {
            cache_.put(observation.iptype, ipaddr, cached_from(current));
        }
    }

    const char* old_hwaddr = kPlaceholderNone;
    if (current.found != 0) {
        // Compared as text: that is what the database stores.
        if (std::strncmp(observation.hwaddr, current.hwaddr, sizeof current.hwaddr) == 0) {
            if (current.age >= REFRESH_INTERVAL) {
                const bool touched = statements_.touch(current.rowid, observation.ts.sec);
                if (cache_valid && cache_.after_write(touched, sqlite3_changes(db_.get()))) {
                    CachedBinding refreshed = cached_from(current);
                    refreshed.utime = observation.ts.sec;
                    cache_.put(observation.iptype, ipaddr, refreshed);
                }
            }
            return;
        }
        old_hwaddr = current.hwaddr;
    }
    // The change is announced even when the insert failed: the administrator
    // must hear of it either way.
    const bool inserted =
        statements_.insert(observation.iptype, observation.ipaddr, observation.hwaddr,
                           observation.ts.sec, observation.ts.usec);
    if (cache_valid && cache_.after_write(inserted, sqlite3_changes(db_.get()))) {
        const CachedBinding added{sqlite3_last_insert_rowid(db_.get()),
                                  observation.ts.sec,
                                  observation.ts.usec,
                                  observation.ts.sec,
                                  {}};
        CachedBinding row = added;
        std::memcpy(row.hwaddr, observation.hwaddr, sizeof row.hwaddr);
        // Capture clocks can go back: a row older than the current one is
        // recorded but does not become current. Without a cached row, the
        // new one is current only if the lookup reliably found none.
        const CachedBinding* cached = cache_.find(observation.iptype, ipaddr);
        if (cached != nullptr ? !older(row.sec, row.usec, *cached)
                              : (lookup_reliable && current.found == 0)) {
            cache_.put(observation.iptype, ipaddr, row);
        }
    }
    notify_change(db_.get(), observation.ts, observation.family, observation.addr.data(),
                  observation.ipaddr, observation.hwaddr, old_hwaddr);
}

bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff) {
    std::int64_t retention_seconds = 0;
    if (__builtin_mul_overflow(retention_days, kSecondsPerDay, &retention_seconds)) return false;
    return !__builtin_sub_overflow(capture_sec, retention_seconds, cutoff);
}

void Watcher::expire_if_due(std::int64_t capture_sec) {
    if (capture_sec < next_expiry_) return;
    // Deletion, and VACUUM renumbering rows, would leave the cached rows
    // stale.
    cache_.clear();
    // A retention too long to express as a cut-off keeps everything rather
    // than wrapping around to a cut-off in the future.
    std::int64_t cutoff = 0;
    if (expiry_cutoff(capture_sec, settings_.retention_days, &cutoff)) statements_.expire(cutoff);
    store_maintain(db_.get());
    if (__builtin_add_overflow(capture_sec, REFRESH_INTERVAL, &next_expiry_)) {
        next_expiry_ = INT64_MAX;
    }
}
