// One watched interface: its database connection with the kept binding
// statements, the in-memory copy of current bindings, the expiry schedule
// and the settings it runs under. The capture loop hands every frame to it
// (as the loop's user pointer); per frame it decodes, tracks the
// observation, and runs the expiry pass when due, in that order. Anything
// that must happen between one frame's statements and the next (such as
// re-attaching a replaced vendor database) belongs at the top of
// handle_frame, before the frame's first statement.
#pragma once

#include <pcap/pcap.h>
#include <sqlite3.h>

#include <cstdint>

#include "binding_cache.h"
#include "binding_store.h"
#include "observation.h"
#include "settings.h"
#include "sqlite_handles.h"

class Watcher {
   public:
    // Takes over the open interface database connection (with the vendor
    // database attached, for the notify command's lookups).
    Watcher(const DaemonSettings& daemon_settings, Db connection);
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    sqlite3* db() const { return db_.get(); }

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

    // Capture second at or after which the next expiry pass runs; 0 at
    // start, so the first accepted frame runs one.
    std::int64_t next_expiry() const { return next_expiry_; }

    // For tests and benchmarks only: with the cache off every observation is
    // decided from the database, as the cache must never change an outcome.
    void set_cache_enabled(bool enabled);

   private:
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
    bool cache_enabled_ = true;
    std::int64_t next_expiry_ = 0;
};
