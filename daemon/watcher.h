// One watched interface: its database connection with the kept binding
// statements, the in-memory copy of current bindings, the expiry schedule
// and the settings it runs under. The capture loop hands every frame to it
// (as the loop's user pointer); per frame it decodes, tracks the
// observation, and runs the expiry pass when due, in that order.
//
// The writes of the frames one capture dispatch delivers (at most
// kBatchFrames frames, at most kBatchCaptureTime of capture time) go into
// one transaction, committed by end_batch; only then are the batch's new
// bindings announced, and its warnings written, in frame order. So every
// announced binding is already on disk, and one sync serves a whole burst.
// Work that cannot run inside a transaction (such as re-attaching a
// replaced vendor database) belongs in end_batch, between the commit and
// the announcements.
#pragma once

#include <pcap/pcap.h>
#include <sqlite3.h>

#include <cstdint>
#include <vector>

#include "binding_cache.h"
#include "binding_store.h"
#include "observation.h"
#include "settings.h"
#include "sqlite_handles.h"
#include "store.h"

class Watcher {
   public:
    static constexpr int kBatchFrames = 256;
    static constexpr std::int64_t kBatchCaptureTimeUsec = 50'000;

    // Takes over the open interface database connection (with the vendor
    // database attached, for the notify command's lookups).
    Watcher(const DaemonSettings& daemon_settings, Db connection);
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    sqlite3* db() const { return db_.get(); }

    // Attaches the vendor database read-only and notes which file it is.
    void attach_vendor();
    // The updater replaces the vendor database by renaming a new file over
    // it; an attachment would go on reading the old one. Attaches the file
    // now in place when it is another, but only between statements: while a
    // transaction is open it does nothing. end_batch runs it after the
    // commit, before the announcements and their vendor look-ups; without a
    // notify command nothing reads the vendor tables and it does nothing.
    void follow_vendor_replacement();

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

    // For tests and benchmarks only: with the cache off every observation is
    // decided from the database, as the cache must never change an outcome.
    void set_cache_enabled(bool enabled);
    // For tests and benchmarks only: with group commit off every statement
    // commits on its own and every line is written at once.
    void set_group_commit(bool enabled);

   private:
    // A warning or an announcement held until the batch is committed.
    struct Pending {
        bool is_line;
        char line[kDecodeLineSize];
        BindingObservation observation;
        char old_hwaddr[kHwTextSize];
        bool stored;  // the insert ran (its transaction may still fail)
        char error[kDecodeLineSize];
    };

    // What an observation calls for, and what it rests on.
    struct Decision {
        enum Action { kNothing, kRefresh, kRecord } action;
        CurrentBinding current;
        bool lookup_reliable;  // a failed database read is no proof of no row
    };

    [[gnu::format(printf, 2, 3)]] void warn(const char* format, ...);
    // From the in-memory table when it may answer, else from the database.
    Decision decide(const BindingObservation& observation);
    // At the first frame of a batch: one look at the database file's header
    // serves the batch's decisions that write nothing.
    void start_batch(const CaptureTime& ts);
    // The writes of track, inside the batch's transaction when grouping.
    void record(const BindingObservation& observation, const char* old_hwaddr, bool cache_valid,
                bool lookup_reliable, const CurrentBinding& current);
    bool refresh(const BindingObservation& observation, const CurrentBinding& current);
    void open_transaction();
    // The transaction is gone (rolled back by SQLite or by us): the inserts
    // it held are not stored, and error says why.
    void transaction_lost(const char* error);
    bool batch_too_long(const CaptureTime& ts) const;

    // Seconds on the database's own clock (what unixepoch() returns),
    // read through the connection's VFS.
    bool database_now(std::int64_t* now) const;

    const DaemonSettings& settings_;
    // Declared before the connection: its descriptor of the file must close
    // after the connection does.
    BindingCache cache_;
    Db db_;
    // Declared after the connection, so finalized before it closes.
    BindingStatements statements_;
    sqlite3_vfs* vfs_ = nullptr;
    VendorFile vendor_file_;
    bool cache_enabled_ = true;
    bool batch_clock_known_ = false;
    std::int64_t batch_now_ = 0;  // database clock at the batch's start
    std::int64_t next_expiry_ = 0;

    bool group_commit_ = true;
    bool in_transaction_ = false;
    std::size_t transaction_first_ = 0;  // first pending entry of the transaction
    int batch_frames_ = 0;
    CaptureTime batch_start_{};
    std::vector<Pending> pending_;
};
