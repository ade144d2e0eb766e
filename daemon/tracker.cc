#include "tracker.h"

#include <cstring>
#include <string_view>

#include "diag.h"
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

Watcher::Decision Watcher::decide(const BindingObservation& observation) {
    const bool cache_valid = cache_enabled_ && cache_.usable();

    Decision decision{};
    CurrentBinding& current = decision.current;
    const CachedBinding* hit = cache_valid ? cache_.find(observation) : nullptr;
    // An age beyond the 64-bit range is left to the database to compute.
    if (hit != nullptr && batch_clock_known_ &&
        !__builtin_sub_overflow(batch_now_, hit->utime, &current.age)) {
        current.found = 1;
        current.rowid = hit->rowid;
        current.sec = hit->sec;
        current.usec = hit->usec;
        current.utime = hit->utime;
        std::memcpy(current.hwaddr, hit->hwaddr, sizeof current.hwaddr);
        decision.lookup_reliable = true;
    } else {
        decision.lookup_reliable =
            statements_.current(observation.iptype, observation.ipaddr(), &current);
        if (cache_valid && current.found != 0) {
            cache_.put(observation, cached_from(current));
        }
    }
    if (current.found == 0) {
        decision.action = Decision::kRecord;
    } else if (std::strncmp(observation.hwaddr, current.hwaddr, sizeof current.hwaddr) != 0) {
        // Compared as text: that is what the database stores.
        decision.action = Decision::kRecord;
    } else {
        decision.action = current.age >= REFRESH_INTERVAL ? Decision::kRefresh : Decision::kNothing;
    }
    return decision;
}

void Watcher::track(const BindingObservation& observation) {
    Decision decision = decide(observation);
    if (decision.action == Decision::kNothing) return;
    // A decision that writes must hold under the write lock. Until the
    // batch's transaction began, another process could commit (the table
    // and a database read alike may predate it); from then on nobody else
    // can, and the rest of the batch may trust the table.
    if (group_commit_ && !in_transaction_) {
        open_transaction();
        if (in_transaction_ && !(cache_enabled_ && cache_.unchanged())) {
            decision = decide(observation);
            if (decision.action == Decision::kNothing) return;
        }
    }
    const CurrentBinding& current = decision.current;
    if (decision.action == Decision::kRefresh) {
        const bool kept = refresh(observation, current);
        if (cache_enabled_ && cache_.usable() && kept) {
            CachedBinding refreshed = cached_from(current);
            refreshed.utime = observation.ts.sec;
            cache_.put(observation, refreshed);
        }
        return;
    }
    const char* old_hwaddr = current.found != 0 ? current.hwaddr : kPlaceholderNone;
    record(observation, old_hwaddr, cache_enabled_ && cache_.usable(), decision.lookup_reliable,
           current);
}

bool Watcher::refresh(const BindingObservation& observation, const CurrentBinding& current) {
    if (!group_commit_) {
        const bool touched = statements_.touch(current.rowid, observation.ts.sec);
        return cache_.after_write(touched, sqlite3_changes(db_.get()));
    }
    open_transaction();
    const bool touched = statements_.touch(current.rowid, observation.ts.sec, false);
    const int changes = sqlite3_changes(db_.get());
    if (!touched) {
        warn("ipmap update failed: %s\n", sqlite3_errmsg(db_.get()));
        if (in_transaction_ && sqlite3_get_autocommit(db_.get()) != 0) {
            transaction_lost(sqlite3_errmsg(db_.get()));
        }
    }
    return in_transaction_ ? cache_.after_batch_write(touched, changes)
                           : cache_.after_write(touched, changes);
}

void Watcher::record(const BindingObservation& observation, const char* old_hwaddr,
                     bool cache_valid, bool lookup_reliable, const CurrentBinding& current) {
    bool inserted = false;
    bool kept = false;
    if (!group_commit_) {
        // The change is announced even when the insert failed: the
        // administrator must hear of it either way.
        inserted = statements_.insert(observation.iptype, observation.ipaddr(), observation.hwaddr,
                                      observation.ts.sec, observation.ts.usec);
        kept = cache_valid && cache_.after_write(inserted, sqlite3_changes(db_.get()));
    } else {
        open_transaction();
        inserted = statements_.insert(observation.iptype, observation.ipaddr(), observation.hwaddr,
                                      observation.ts.sec, observation.ts.usec, false);
        const int changes = sqlite3_changes(db_.get());
        // Announced after the commit, and even when the insert failed.
        Pending& p = pending_.emplace_back();
        p.is_line = false;
        p.observation = observation;
        copy_bounded(p.old_hwaddr, old_hwaddr, sizeof p.old_hwaddr);
        p.stored = inserted;
        if (!inserted) {
            copy_bounded(p.error, sqlite3_errmsg(db_.get()), sizeof p.error);
            // On a full disk SQLite rolls the whole transaction back: the
            // batch's earlier inserts are gone too.
            if (in_transaction_ && sqlite3_get_autocommit(db_.get()) != 0) {
                transaction_lost(p.error);
            }
        }
        if (cache_valid) {
            kept = in_transaction_ ? cache_.after_batch_write(inserted, changes)
                                   : cache_.after_write(inserted, changes);
        }
    }
    if (kept) {
        CachedBinding row{sqlite3_last_insert_rowid(db_.get()),
                          observation.ts.sec,
                          observation.ts.usec,
                          observation.ts.sec,
                          {}};
        std::memcpy(row.hwaddr, observation.hwaddr, sizeof row.hwaddr);
        // Capture clocks can go back: a row older than the current one is
        // recorded but does not become current. Without a cached row, the
        // new one is current only if the lookup reliably found none.
        const CachedBinding* cached = cache_.find(observation);
        if (cached != nullptr ? !older(row.sec, row.usec, *cached)
                              : (lookup_reliable && current.found == 0)) {
            cache_.put(observation, row);
        }
    }
    if (!group_commit_) {
        follow_vendor_replacement();
        notify_change(db_.get(), observation.ts, observation.family, observation.addr.data(),
                      observation.ipaddr(), observation.hwaddr, old_hwaddr);
    }
}

bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff) {
    std::int64_t retention_seconds = 0;
    if (__builtin_mul_overflow(retention_days, kSecondsPerDay, &retention_seconds)) return false;
    return !__builtin_sub_overflow(capture_sec, retention_seconds, cutoff);
}

void Watcher::expire_if_due(std::int64_t capture_sec) {
    if (capture_sec < next_expiry_) return;
    // VACUUM cannot run inside a transaction, and the pass must not come
    // between a binding's insert and its announcement.
    end_batch();
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
