// What one capture feeds. On an interface: its watcher, whose batch ends
// after every capture dispatch. On a trunk (-V): a watcher per VLAN, each
// made when the first valid frame of its VLAN arrives, whose batches outlive
// dispatches and end when full or old (so that a dispatch touching hundreds
// of VLANs commits none of them at once), and whose expiry passes (with
// their VACUUM) take turns, so that a restart on a busy trunk does not hold
// up the capture.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "interface_lock.h"
#include "notifier.h"
#include "observation.h"
#include "settings.h"
#include "watcher.h"

class Sensor {
   public:
    // Time between two VLANs' expiry passes on a trunk.
    static constexpr std::chrono::milliseconds kExpirySpacing{100};
    // VLANs past the limit warned about at most, each once.
    static constexpr std::size_t kMostWarnedVlans = 65536;
    // Pages of a VLAN's database kept in memory: a trunk may have a
    // thousand, and each would otherwise grow to SQLite's 2 MB.
    static constexpr int kVlanPageCacheKib = 256;

    // interface_watcher is the interface's own (untagged frames, and on a
    // trunk those under priority tags only). vlan_limits are given to every
    // VLAN's watcher. REQUIRES: all outlive the sensor.
    Sensor(const DaemonSettings& settings, Watcher& interface_watcher, Notifier& notifier,
           const WatcherLimits& vlan_limits);
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    // The capture loop's handler; user is the Sensor.
    static void on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);
    void handle_frame(const struct pcap_pkthdr* header, const u_char* bytes);

    // After every dispatch and every wake-up: ends the batches that are due
    // and runs a waiting expiry pass when its turn has come. capture_behind:
    // the dispatch was full, so more frames are likely waiting.
    void after_dispatch(bool capture_behind = false);
    // How long the capture loop may sleep before after_dispatch has work:
    // -1 for as long as no frame arrives.
    int wait_ms() const;
    // At the end of the capture: every batch committed and announced, and
    // the frames that were not stored reported.
    void finish();

    // VLAN databases watched now.
    int vlan_databases() const { return vlan_databases_; }

    // Since start, for the metrics: frames refused by reason, Neighbor
    // Discovery frames cut short, and frames of VLANs not watched.
    struct Counters {
        std::array<std::uint64_t, static_cast<std::size_t>(Rejection::kCount)> rejected{};
        std::uint64_t truncated = 0;
        std::uint64_t not_listed = 0;      // a VLAN not in the -V list
        std::uint64_t held_elsewhere = 0;  // a VLAN whose database another process holds
        std::uint64_t past_limit = 0;      // a VLAN past the -T limit
    };
    const Counters& counters() const { return counters_; }

    // Hands every watcher (the interface's first) to each(const Watcher&).
    template <typename Each>
    void each_watcher(Each&& each) const {
        each(interface_);
        for (const auto& [key, vlan] : vlans_) {
            if (vlan.watcher != nullptr) each(static_cast<const Watcher&>(*vlan.watcher));
        }
    }

   private:
    // A VLAN seen on the trunk: watched, or why not.
    struct Vlan {
        // What every frame reads comes first, on the entry's first cache line.
        Watcher* watcher = nullptr;  // nullptr: not ours to watch
        bool pending = false;        // in pending_: a batch or damping under way
        bool expiry_queued = false;
        std::string name;  // "IFNAME.VID" or "IFNAME.OUTER.INNER"
        std::unique_ptr<InterfaceLock> lock;
        std::unique_ptr<Watcher> owned;
    };

    static std::uint32_t key_of(const VlanPath& path);
    // The entry of a VLAN seen before, or nullptr.
    Vlan* find_vlan(const VlanPath& path, std::uint32_t key);
    std::string name_of(const VlanPath& path) const;
    // Makes the entry of a VLAN seen for the first time with a binding to
    // store: its lock and database, or, when another process holds it, an
    // entry that only counts its frames.
    Vlan& add_vlan(std::uint32_t key, const VlanPath& path);
    void take(Vlan& vlan, const FrameVerdict& verdict, const CaptureTime& ts);

    const DaemonSettings& settings_;
    Watcher& interface_;
    Notifier& notifier_;
    const WatcherLimits vlan_limits_;
    std::uint64_t dispatch_ = 1;

    std::unordered_map<std::uint32_t, Vlan> vlans_;
    // vlans_' entries of single tags by VID. On a trunk consecutive frames
    // are mostly of different VLANs, and a lookup in the map touches two of
    // its nodes, each a cache miss; this costs one. Entries never move.
    std::vector<Vlan*> single_tag_;
    Vlan interface_vlan_;  // the interface watcher's place in pending_ and the queue
    int vlan_databases_ = 0;
    std::unordered_set<std::uint32_t> warned_past_limit_;
    std::vector<Vlan*> pending_;  // batches or held-back notifications under way
    std::deque<Vlan*> expiry_queue_;
    std::chrono::steady_clock::time_point last_pass_end_{};

    Counters counters_;
};
