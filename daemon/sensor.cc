#include "sensor.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <utility>

#include "diag.h"
#include "frame_decode.h"

Sensor::Sensor(const DaemonSettings& settings, Watcher& interface_watcher, Notifier& notifier,
               const WatcherLimits& vlan_limits)
    : settings_(settings),
      interface_(interface_watcher),
      notifier_(notifier),
      vlan_limits_(vlan_limits) {
    interface_vlan_.name = settings.interface_name;
    interface_vlan_.watcher = &interface_watcher;
    if (settings.vlan_tags) single_tag_.assign(kVlanIds, nullptr);
}

void Sensor::on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    reinterpret_cast<Sensor*>(user)->handle_frame(header, bytes);
}

std::uint32_t Sensor::key_of(const VlanPath& path) {
    return static_cast<std::uint32_t>(path.depth) << 24 |
           static_cast<std::uint32_t>(path.ids[0]) << 12 | path.ids[1];
}

std::string Sensor::name_of(const VlanPath& path) const {
    std::string name = settings_.interface_name;
    for (int i = 0; i < path.depth; ++i) {
        name += '.';
        name += std::to_string(path.ids[i]);
    }
    return name;
}

void Sensor::handle_frame(const struct pcap_pkthdr* header, const u_char* bytes) {
    const CaptureTime ts{header->ts.tv_sec, header->ts.tv_usec};
    // What was captured, not the length on the wire.
    const FrameVerdict verdict = decode_frame({bytes, header->caplen}, ts, settings_.vlan_tags);
    ++counters_.rejected[static_cast<std::size_t>(verdict.rejection)];
    if (verdict.truncated) ++counters_.truncated;
    const VlanPath& path = verdict.vlan;
    // A frame refused before its VLAN was known, or for its tags, and an
    // untagged one are the interface's own.
    if (!verdict.reaches_expiry || path.depth == 0) {
        if (!settings_.vlan_tags || !verdict.reaches_expiry || settings_.vlans.test(0)) {
            take(interface_vlan_, verdict, ts);
        } else {
            ++counters_.not_listed;
        }
        return;
    }
    if (!settings_.vlans.test(path.ids[0])) {
        ++counters_.not_listed;
        return;
    }
    const std::uint32_t key = key_of(path);
    Vlan* vlan = find_vlan(path, key);
    if (vlan == nullptr) {
        if (!verdict.observed) {
            // Nothing to store, so no database yet: what the frame earned is
            // said at once.
            for (int i = 0; i < verdict.line_count; ++i) diag_warn("%s", verdict.lines[i]);
            return;
        }
        if (vlan_databases_ >= settings_.max_vlan_databases) {
            ++counters_.past_limit;
            if (warned_past_limit_.size() < kMostWarnedVlans &&
                warned_past_limit_.insert(key).second) {
                char vlan_ids[sizeof "4094.4094"];
                if (path.depth == 1) {
                    std::snprintf(vlan_ids, sizeof vlan_ids, "%u", path.ids[0]);
                } else {
                    std::snprintf(vlan_ids, sizeof vlan_ids, "%u.%u", path.ids[0], path.ids[1]);
                }
                diag_warn("VLAN %s not watched: more than %d VLAN databases\n", vlan_ids,
                          settings_.max_vlan_databases);
            }
            return;
        }
        vlan = &add_vlan(key, path);
    }
    if (vlan->watcher == nullptr) {
        ++counters_.held_elsewhere;
        return;
    }
    take(*vlan, verdict, ts);
}

Sensor::Vlan* Sensor::find_vlan(const VlanPath& path, std::uint32_t key) {
    if (path.depth == 1 && path.ids[0] < single_tag_.size()) return single_tag_[path.ids[0]];
    const auto found = vlans_.find(key);
    return found != vlans_.end() ? &found->second : nullptr;
}

Sensor::Vlan& Sensor::add_vlan(std::uint32_t key, const VlanPath& path) {
    Vlan& vlan = vlans_[key];
    if (path.depth == 1 && path.ids[0] < single_tag_.size()) single_tag_[path.ids[0]] = &vlan;
    vlan.name = name_of(path);
    const LibraryDir& library = settings_.library;
    pid_t holder = -1;
    vlan.lock = InterfaceLock::try_hold(library, vlan.name.c_str(), &holder);
    if (vlan.lock == nullptr) {
        if (holder >= 0) {
            diag_warn("interface database %s is in use by process %d\n",
                      library.file(vlan.name).c_str(), static_cast<int>(holder));
        }
        return vlan;
    }
    std::optional<InterfaceDb> db = InterfaceDb::open_or_warn(library, vlan.name.c_str());
    if (!db) return vlan;
    db->limit_page_cache(kVlanPageCacheKib);
    // The name lives in the map's node, which stays where it is.
    vlan.owned = std::make_unique<Watcher>(settings_, vlan.name.c_str(), std::move(*db), notifier_,
                                           vlan_limits_);
    vlan.watcher = vlan.owned.get();
    ++vlan_databases_;
    return vlan;
}

void Sensor::take(Vlan& vlan, const FrameVerdict& verdict, const CaptureTime& ts) {
    vlan.watcher->take(verdict, ts, dispatch_);
    if (!vlan.pending) {
        vlan.pending = true;
        pending_.push_back(&vlan);
    }
    if (vlan.watcher->expiry_due() && !vlan.expiry_queued) {
        vlan.expiry_queued = true;
        expiry_queue_.push_back(&vlan);
    }
}

void Sensor::after_dispatch(bool capture_behind) {
    ++dispatch_;
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < pending_.size();) {
        Vlan* vlan = pending_[i];
        Watcher& watcher = *vlan->watcher;
        // On an interface every dispatch ends the batch.
        if (!settings_.vlan_tags || watcher.batch_due(capture_behind) <= now) watcher.end_batch();
        if (watcher.damping_due() <= now) watcher.run_damping(now);
        if (watcher.batch_due() == std::chrono::steady_clock::time_point::max() &&
            watcher.damping_due() == std::chrono::steady_clock::time_point::max()) {
            vlan->pending = false;
            pending_[i] = pending_.back();
            pending_.pop_back();
        } else {
            ++i;
        }
    }
    if (!expiry_queue_.empty() && now >= last_pass_end_ + kExpirySpacing) {
        Vlan* vlan = expiry_queue_.front();
        expiry_queue_.pop_front();
        vlan->expiry_queued = false;
        vlan->watcher->run_expiry();
        last_pass_end_ = std::chrono::steady_clock::now();
    }
}

int Sensor::wait_ms() const {
    auto due = std::chrono::steady_clock::time_point::max();
    for (const Vlan* vlan : pending_) {
        due = std::min({due, vlan->watcher->batch_due(), vlan->watcher->damping_due()});
    }
    if (!expiry_queue_.empty()) due = std::min(due, last_pass_end_ + kExpirySpacing);
    if (due == std::chrono::steady_clock::time_point::max()) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

void Sensor::finish() {
    // Every watcher, pending or not: this is the last chance for an open
    // batch and for held-back notifications.
    for (Vlan* vlan : pending_) vlan->pending = false;
    pending_.clear();
    interface_.finish();
    for (auto& [key, vlan] : vlans_) {
        if (vlan.watcher != nullptr) vlan.watcher->finish();
    }
    if (counters_.held_elsewhere != 0 || counters_.past_limit != 0) {
        diag_warn(
            "frames not stored: %lu of VLANs whose database another process holds, %lu of VLANs "
            "past the limit of %d databases\n",
            static_cast<unsigned long>(counters_.held_elsewhere),
            static_cast<unsigned long>(counters_.past_limit), settings_.max_vlan_databases);
    }
}
