// One watched segment: its interface database with the kept binding
// statements, the in-memory copy of current bindings, the batch of writes
// under way, the expiry schedule, and the notifier its changes go to. The
// capture loop hands every frame to it (as the loop's user pointer); per
// frame it decodes, tracks the observation, and runs the expiry pass when
// due, in that order.
//
// What an observation means: a new or changed binding (recorded and
// announced), a repeated sighting (refreshed at most every eight hours), or
// nothing. The writes of a run of frames (at most batch_frames frames, at
// most kBatchCaptureTimeUsec of capture time, never past the end of a
// capture dispatch) share one transaction, committed by end_batch; only
// then are the batch's new bindings announced, and its warnings written,
// in frame order.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

#include "batch.h"
#include "binding_cache.h"
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
    // Frames whose writes share one transaction; 1 commits every frame's.
    int batch_frames = 256;
};

class Watcher {
   public:
    static constexpr std::int64_t kBatchCaptureTimeUsec = 50'000;

    // Takes over the database; database_name is the base name the notify
    // command is told. REQUIRES: settings, database_name and notifier
    // outlive the watcher.
    Watcher(const DaemonSettings& settings, const char* database_name, InterfaceDb db,
            Notifier& notifier, WatcherLimits limits = {});
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // The capture loop's handler; user is the Watcher.
    static void on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);

    // Only header->ts and header->caplen are read; bytes holds caplen bytes
    // starting with the Ethernet header.
    void handle_frame(const struct pcap_pkthdr* header, const u_char* bytes);

    // Records, refreshes or ignores one observation.
    void track(const BindingObservation& observation);
    // Runs the expiry pass and the compaction when capture_sec has reached
    // the schedule.
    void expire_if_due(std::int64_t capture_sec);

    // Commits the open batch, then writes its warnings and announces its
    // new bindings in frame order. The capture loop calls it after every
    // dispatch; it is also the last thing before the daemon exits.
    void end_batch();

    // Capture second at or after which the next expiry pass runs; 0 at
    // start, so the first accepted frame runs one.
    std::int64_t next_expiry() const { return next_expiry_; }

    InterfaceDb& database() { return db_; }

   private:
    // What an observation calls for, and what it rests on.
    struct Decision {
        enum Action { kNothing, kRefresh, kRecord } action;
        CurrentBinding current;
        bool lookup_reliable;  // a failed database read is no proof of no row
    };

    // At the first frame of a batch: one look at the database file's header
    // serves the batch's decisions that write nothing.
    void start_batch(const CaptureTime& ts);
    bool batch_too_long(const CaptureTime& ts) const;
    // From the in-memory table when it may answer, else from the database.
    Decision decide(const BindingObservation& observation);
    // The writes track decides on, each in the batch's transaction.
    void refresh(const BindingObservation& observation, const CurrentBinding& current);
    void record(const BindingObservation& observation, const Decision& decision);
    // After one of the batch's writes: keeps the in-memory table only when
    // the write is accounted for.
    bool after_write(bool succeeded, int changes);

    const DaemonSettings& settings_;
    const char* database_name_;
    Notifier& notifier_;
    const int batch_frames_limit_;
    // Declared before the database: its descriptor of the file must close
    // after the connection does.
    BindingCache cache_;
    InterfaceDb db_;
    Batch batch_;
    std::int64_t next_expiry_ = 0;

    int batch_frames_ = 0;
    CaptureTime batch_start_{};
    bool batch_clock_known_ = false;
    std::int64_t batch_now_ = 0;  // database clock at the batch's start
};
