#include "watcher.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <variant>

#include "diag.h"
#include "frame_decode.h"
#include "names.h"

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

bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff) {
    std::int64_t retention_seconds = 0;
    if (__builtin_mul_overflow(retention_days, kSecondsPerDay, &retention_seconds)) return false;
    return !__builtin_sub_overflow(capture_sec, retention_seconds, cutoff);
}

Watcher::Watcher(const DaemonSettings& settings, const char* database_name, InterfaceDb db,
                 Notifier& notifier, WatcherLimits limits)
    : settings_(settings),
      database_name_(database_name),
      notifier_(notifier),
      limits_{limits.cached_bindings, limits.batch_frames < 1 ? 1 : limits.batch_frames,
              limits.on_trunk},
      cache_(limits.cached_bindings),
      db_(std::move(db)),
      // A frame holds at most two decoder lines and an announcement or a
      // refresh warning. A trunk's many batches grow as they need to.
      batch_(db_, limits.on_trunk ? 0 : 3 * static_cast<std::size_t>(limits_.batch_frames)),
      damper_(std::chrono::seconds(settings.damping_seconds)) {
    // Now, while the new connection holds no lock on the file.
    cache_.open(db_.file_name());
}

void Watcher::on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    reinterpret_cast<Watcher*>(user)->handle_frame(header, bytes);
}

void Watcher::handle_frame(const struct pcap_pkthdr* header, const u_char* bytes) {
    const CaptureTime ts{header->ts.tv_sec, header->ts.tv_usec};
    // What was captured, not the length on the wire.
    take(decode_frame({bytes, header->caplen}, ts), ts, batches_ended_);
}

void Watcher::take(const FrameVerdict& verdict, const CaptureTime& ts, std::uint64_t dispatch) {
    if (limits_.on_trunk) {
        if (batch_.writes() >= kTrunkBatchWrites) end_batch();
    } else if (batch_frames_ > 0 && (batch_frames_ >= limits_.batch_frames || batch_too_long(ts))) {
        end_batch();
    }
    if (batch_frames_++ == 0) batch_start_ = ts;
    if (dispatch != dispatch_ || batch_frames_ == 1) start_dispatch(dispatch);
    ++counters_.frames;
    counters_.newest_frame = ts;
    for (int i = 0; i < verdict.line_count; ++i) batch_.add_line(verdict.lines[i]);
    if (verdict.observed) track(verdict.observation);
    if (verdict.reaches_expiry) expire_if_due(ts.sec);
}

void Watcher::start_dispatch(std::uint64_t dispatch) {
    dispatch_ = dispatch;
    // While the batch's transaction is open nobody else can commit: the
    // table stays right.
    if (batch_.in_transaction()) return;
    if (!cache_.validate()) return;
    // The ages the table answers with are taken on one reading of the
    // database's clock for the dispatch, which lasts milliseconds.
    batch_clock_known_ = db_.database_now(&batch_now_);
}

bool Watcher::batch_too_long(const CaptureTime& ts) const {
    // Capture clocks can go back: the distance counts either way.
    std::int64_t seconds = 0;
    if (__builtin_sub_overflow(ts.sec, batch_start_.sec, &seconds) || seconds > 1 || seconds < -1) {
        return true;
    }
    const std::int64_t usec = seconds * 1'000'000 + (ts.usec - batch_start_.usec);
    return usec >= kBatchCaptureTimeUsec || usec <= -kBatchCaptureTimeUsec;
}

Watcher::Decision Watcher::decide(const BindingObservation& observation) {
    Decision decision{};
    CurrentBinding& current = decision.current;
    const bool cache_usable = cache_.usable();
    const CachedBinding* hit = cache_usable ? cache_.find(observation) : nullptr;
    // An age beyond the 64-bit range is left to the database to compute.
    if (hit != nullptr && batch_clock_known_ &&
        !__builtin_sub_overflow(batch_now_, hit->utime, &current.age)) {
        ++counters_.cache_hits;
        current.found = 1;
        current.rowid = hit->rowid;
        current.sec = hit->sec;
        current.usec = hit->usec;
        current.utime = hit->utime;
        std::memcpy(current.hwaddr, hit->hwaddr, sizeof current.hwaddr);
        decision.lookup_reliable = true;
    } else {
        ++counters_.cache_misses;
        decision.lookup_reliable =
            db_.current(observation.iptype, observation.ipaddr(), &current);
        if (cache_usable && current.found != 0) cache_.put(observation, cached_from(current));
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
    ++counters_.observations;
    Decision decision = decide(observation);
    if (decision.action == Decision::kNothing) return;
    // A decision that writes must hold under the write lock. Until the
    // batch's transaction began, another process could commit (the table
    // and a database read alike may predate it); from then on nobody else
    // can, and the rest of the batch may trust the table.
    if (!batch_.in_transaction() && batch_.open() && !cache_.unchanged()) {
        decision = decide(observation);
        if (decision.action == Decision::kNothing) return;
    }
    batch_.count_write();
    if (decision.action == Decision::kRefresh) {
        refresh(observation, decision.current);
    } else {
        record(observation, decision);
    }
}

bool Watcher::after_write(bool succeeded, int changes) {
    // Inside the transaction the counter moves only at the commit, which
    // end_batch checks; a statement on its own must move it by one.
    return batch_.in_transaction() ? cache_.after_batch_write(succeeded, changes)
                                   : cache_.after_write(succeeded, changes);
}

void Watcher::refresh(const BindingObservation& observation, const CurrentBinding& current) {
    const bool touched = db_.touch(current.rowid, observation.ts.sec);
    if (!touched) {
        char line[kDecodeLineSize];
        std::snprintf(line, sizeof line, "ipmap update failed: %s\n", db_.error_message());
        batch_.add_line(line);
        if (batch_.lost_after_failure()) cache_.after_commit(false);
    }
    if (touched) batch_.count_refresh();
    if (after_write(touched, db_.changes())) {
        CachedBinding refreshed = cached_from(current);
        refreshed.utime = observation.ts.sec;
        cache_.put(observation, refreshed);
    }
}

ChangeEvent Watcher::event_of(const BindingObservation& observation,
                              const CurrentBinding& current) {
    if (current.found == 0) return ChangeEvent::kNew;
    // Back to the address it had just before: the second newest row.
    char previous[kHwTextSize];
    if (db_.previous_hwaddr(observation.iptype, observation.ipaddr(), previous) &&
        std::strncmp(previous, observation.hwaddr, sizeof previous) == 0) {
        return ChangeEvent::kFlipFlop;
    }
    return ChangeEvent::kChanged;
}

void Watcher::record(const BindingObservation& observation, const Decision& decision) {
    const CurrentBinding& current = decision.current;
    // Decided before the insert: the new row would be the newest.
    const ChangeEvent event = event_of(observation, current);
    const bool inserted = db_.insert(observation.iptype, observation.ipaddr(), observation.hwaddr,
                                     observation.ts.sec, observation.ts.usec);
    const int changes = db_.changes();
    const std::int64_t rowid = db_.last_insert_rowid();
    // Announced after the commit, and even when the insert failed.
    batch_.add_announcement(observation, current.found != 0 ? current.hwaddr : kPlaceholderNone,
                            event, inserted ? nullptr : db_.error_message());
    if (!inserted && batch_.lost_after_failure()) {
        cache_.after_commit(false);
        return;
    }
    if (!after_write(inserted, changes)) return;
    CachedBinding row{rowid, observation.ts.sec, observation.ts.usec, observation.ts.sec, {}};
    std::memcpy(row.hwaddr, observation.hwaddr, sizeof row.hwaddr);
    // Capture clocks can go back: a row older than the current one is
    // recorded but does not become current. Without a cached row, the new
    // one is current only if the lookup reliably found none.
    const CachedBinding* cached = cache_.find(observation);
    if (cached != nullptr ? !older(row.sec, row.usec, *cached)
                          : (decision.lookup_reliable && current.found == 0)) {
        cache_.put(observation, row);
    }
}

void Watcher::expire_if_due(std::int64_t capture_sec) {
    if (capture_sec < next_expiry_ || expiry_due_) return;
    expiry_due_ = true;
    expiry_capture_sec_ = capture_sec;
    // On a trunk many VLANs may fall due together: the sensor spreads them.
    if (!limits_.on_trunk) run_expiry();
}

void Watcher::run_expiry() {
    if (!expiry_due_) return;
    expiry_due_ = false;
    const std::int64_t capture_sec = expiry_capture_sec_;
    // VACUUM cannot run inside a transaction, and the pass must not come
    // between a binding's insert and its announcement.
    end_batch();
    // Deletion, and VACUUM renumbering rows, would leave the cached rows
    // stale.
    cache_.clear();
    // A retention too long to express as a cut-off keeps everything rather
    // than wrapping around to a cut-off in the future.
    std::int64_t cutoff = 0;
    if (expiry_cutoff(capture_sec, settings_.retention_days, &cutoff) && db_.expire(cutoff)) {
        counters_.rows_expired += static_cast<std::uint64_t>(db_.changes());
    }
    db_.maintain();
    if (__builtin_add_overflow(capture_sec, REFRESH_INTERVAL, &next_expiry_)) {
        next_expiry_ = INT64_MAX;
    }
}

std::chrono::steady_clock::time_point Watcher::batch_due(bool capture_behind) const {
    if (!batch_.has_entries() && !batch_.in_transaction()) {
        return std::chrono::steady_clock::time_point::max();
    }
    // Nothing to keep open: its lines may go now.
    if (!batch_.in_transaction()) return std::chrono::steady_clock::time_point::min();
    const bool hurry = batch_.holds_change() && !capture_behind;
    return batch_.first_write() + (hurry ? kTrunkChangeAge : kTrunkBatchAge);
}

void Watcher::end_batch() {
    const auto started = std::chrono::steady_clock::now();
    const Batch::Outcome outcome = batch_.commit();
    if (outcome != Batch::Outcome::kNoTransaction) {
        cache_.after_commit(outcome == Batch::Outcome::kCommitted);
    }
    if (outcome == Batch::Outcome::kCommitted) {
        ++counters_.batches_committed;
        counters_.commit_seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        counters_.bindings_refreshed += static_cast<std::uint64_t>(batch_.refreshes());
    }
    batch_frames_ = 0;
    ++batches_ended_;
    if (!batch_.has_entries()) return;
    notifier_.follow_vendor_replacement();
    const auto now = Damper::Clock::now();
    batch_.drain([this, now](const Batch::Entry& entry) {
        if (const auto* line = std::get_if<Batch::Line>(&entry)) {
            diag_warn("%s", line->text.c_str());
            return;
        }
        const auto& a = std::get<Batch::Announcement>(entry);
        if (!a.stored) diag_warn("ipmap insert entry failed: %s\n", a.error.c_str());
        if (a.stored) {
            ++(a.event == ChangeEvent::kNew ? counters_.bindings_new : counters_.bindings_changed);
            if (a.event == ChangeEvent::kFlipFlop) ++counters_.flip_flops;
        }
        notifier_.log_change(a.observation, a.old_hwaddr);
        int stands_for = 0;
        if (!notifier_.has_command()) return;
        if (damper_.should_notify(a.observation, a.event, now, &stands_for)) {
            notifier_.start_command(database_name_, a.observation, a.old_hwaddr, a.event,
                                    stands_for);
        } else {
            ++counters_.notify_suppressed;
        }
    });
}

void Watcher::run_damping(Damper::Clock::time_point now, bool all) {
    damper_.flush_due(
        now,
        [this](const Damper::Summary& summary) {
            notifier_.start_command(database_name_, summary.observation, summary.old_hwaddr,
                                    ChangeEvent::kFlipFlop, summary.stands_for);
        },
        all);
}

void Watcher::finish() {
    end_batch();
    run_damping(Damper::Clock::now(), true);
}
