// One watched segment (an interface, or one VLAN of a trunk): its interface
// database with the kept binding statements, the in-memory copy of current
// bindings, the batch of writes under way, the expiry schedule, and the
// notifier its changes go to. Per frame it takes the decoder's verdict,
// tracks the observation and runs the expiry pass when due, in that order.
//
// What an observation means: a new or changed binding (recorded and
// announced), a repeated sighting (refreshed at most every eight hours), or
// nothing. The writes of a run of frames share one transaction, committed
// by end_batch; only then are the batch's new bindings announced, and its
// warnings written, in frame order.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "batch.h"
#include "binding_cache.h"
#include "damping.h"
#include "interface_db.h"
#include "notifier.h"
#include "observation.h"
#include "settings.h"

// Minimum age before a binding's utime is refreshed, and the spacing of
// expiry passes in capture time.
constexpr std::int64_t REFRESH_INTERVAL = 28800;
constexpr std::int64_t kSecondsPerDay = 86400;

// The deletion cut-off for a pass at capture_sec, or false when it would
// leave the signed 64-bit range: then nothing may be deleted.
bool expiry_cutoff(std::int64_t capture_sec, std::int64_t retention_days, std::int64_t* cutoff);

// How much a watcher keeps and groups.
struct WatcherLimits {
    // Current bindings kept in memory; 0 keeps none, and every sighting is
    // decided from the database.
    std::size_t cached_bindings = BindingCache::kMaxEntries;
    // Frames whose writes share one transaction, within one capture
    // dispatch; 1 commits every frame's.
    int batch_frames = 256;
    // A trunk's VLAN: the batch outlives the dispatch and ends only when
    // end_batch is called (see batch_due), and a due expiry pass waits
    // for run_expiry.
    bool on_trunk = false;
};

class Watcher {
   public:
    static constexpr std::int64_t kBatchCaptureTimeUsec = 50'000;
    // On a trunk: writes a batch holds at most, how long a batch that only
    // refreshes may stay open, and how long one that holds a change may.
    static constexpr int kTrunkBatchWrites = 256;
    static constexpr std::chrono::milliseconds kTrunkBatchAge{1000};
    static constexpr std::chrono::milliseconds kTrunkChangeAge{50};

    // Takes over the database; database_name is the base name the notify
    // command is told. REQUIRES: settings, database_name and notifier
    // outlive the watcher.
    Watcher(const DaemonSettings& settings, const char* database_name, InterfaceDb db,
            Notifier& notifier, WatcherLimits limits = {});
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // One frame's verdict, delivered by capture dispatch number dispatch:
    // the first frame of each dispatch looks at the database file again.
    void take(const FrameVerdict& verdict, const CaptureTime& ts, std::uint64_t dispatch);

    // The same for the raw frame, decoded without VLAN tags, each batch
    // counting as a dispatch; for the capture loop's handler of a plain
    // interface (user is the Watcher), the tests and the benchmarks.
    static void on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);
    void handle_frame(const struct pcap_pkthdr* header, const u_char* bytes);

    // Records, refreshes or ignores one observation.
    void track(const BindingObservation& observation);
    // Runs the expiry pass and the compaction when capture_sec has reached
    // the schedule; on a trunk only marks it due.
    void expire_if_due(std::int64_t capture_sec);
    bool expiry_due() const { return expiry_due_; }
    // Runs the pass marked due.
    void run_expiry();

    // Commits the open batch, then writes its warnings and announces its
    // new bindings in frame order. The capture loop calls it after every
    // dispatch, or on a trunk when batch_due says.
    void end_batch();
    // The last thing before the daemon exits: the batch ended, and the
    // notifications held back sent now, so that the last one is right.
    void finish();
    // On a trunk: when the batch must end (a moment already past when it
    // holds no transaction to keep open), or time_point::max() when it
    // holds nothing. While the capture is behind (frames wait in the ring)
    // a change does not hurry its batch: committing every VLAN's one or
    // two writes after each dispatch would bind the daemon to the disk's
    // commit rate, and it would never catch up.
    std::chrono::steady_clock::time_point batch_due(bool capture_behind = false) const;

    // Capture second at or after which the next expiry pass runs; 0 at
    // start, so the first accepted frame runs one.
    std::int64_t next_expiry() const { return next_expiry_; }

    // Flip-flop damping: when the next held-back address is due its
    // notification, and sending those that are due at now (all of them
    // with all).
    Damper::Clock::time_point damping_due() const { return damper_.next_due(); }
    void run_damping(Damper::Clock::time_point now, bool all = false);

    // Since start, for the metrics.
    struct Counters {
        std::uint64_t frames = 0;
        std::uint64_t observations = 0;
        std::uint64_t bindings_new = 0;
        std::uint64_t bindings_changed = 0;  // flip-flops included
        std::uint64_t flip_flops = 0;
        std::uint64_t bindings_refreshed = 0;
        std::uint64_t rows_expired = 0;
        std::uint64_t batches_committed = 0;
        double commit_seconds = 0;
        std::uint64_t cache_hits = 0;
        std::uint64_t cache_misses = 0;
        std::uint64_t notify_suppressed = 0;
        // Capture time of the newest frame; 0 before the first.
        CaptureTime newest_frame{0, 0};
    };
    const Counters& counters() const { return counters_; }
    std::uint64_t cache_clears() const { return cache_.clears(); }

    const char* database_name() const { return database_name_; }
    InterfaceDb& database() { return db_; }

   private:
    // What an observation calls for, and what it rests on.
    struct Decision {
        enum Action { kNothing, kRefresh, kRecord } action;
        CurrentBinding current;
        bool lookup_reliable;  // a failed database read is no proof of no row
    };

    // At the first frame of a dispatch: one look at the database file's
    // header serves the dispatch's decisions that write nothing.
    void start_dispatch(std::uint64_t dispatch);
    bool batch_too_long(const CaptureTime& ts) const;
    // From the in-memory table when it may answer, else from the database.
    Decision decide(const BindingObservation& observation);
    // What a change is to the notify command.
    ChangeEvent event_of(const BindingObservation& observation, const CurrentBinding& current);
    // The writes track decides on, each in the batch's transaction.
    void refresh(const BindingObservation& observation, const CurrentBinding& current);
    void record(const BindingObservation& observation, const Decision& decision);
    // After one of the batch's writes: keeps the in-memory table only when
    // the write is accounted for.
    bool after_write(bool succeeded, int changes);

    const DaemonSettings& settings_;
    const char* database_name_;
    Notifier& notifier_;
    const WatcherLimits limits_;
    BindingCache cache_;
    InterfaceDb db_;
    Batch batch_;
    Damper damper_;
    Counters counters_;
    std::int64_t next_expiry_ = 0;
    bool expiry_due_ = false;
    std::int64_t expiry_capture_sec_ = 0;

    int batch_frames_ = 0;
    CaptureTime batch_start_{};
    std::uint64_t dispatch_ = 0;       // the dispatch of the frame last taken
    std::uint64_t batches_ended_ = 0;  // handle_frame's dispatch numbers
    bool batch_clock_known_ = false;
    std::int64_t batch_now_ = 0;  // database clock at the dispatch's start
};
