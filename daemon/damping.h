// Flip-flop damping (-D): an address that goes back to the hardware address
// it had just before (a bonded pair, a failover pair, a host answering on
// two cards) is logged every time, but within the window after its last
// notification it starts no notify command. When the window has passed, one
// notification tells the final state, and how many it stands for, unless
// the address is back where the last notification left it. New and changed
// bindings are never held back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "observation.h"

// What a new binding is to the notify command (PELORIN_EVENT).
enum class ChangeEvent { kNew, kChanged, kFlipFlop };
const char* event_name(ChangeEvent event);

class Damper {
   public:
    using Clock = std::chrono::steady_clock;
    // Addresses remembered at most (those notified of a change); when full,
    // one goes, with what it held back.
    static constexpr std::size_t kMostAddresses = 4096;

    // A window of 0 holds nothing back.
    explicit Damper(std::chrono::seconds window) : window_(window) {}

    // Whether the notify command runs for this change, which has been
    // logged. When it does, *stands_for is the number of changes of the
    // address it also stands for (held back before it).
    bool should_notify(const BindingObservation& observation, ChangeEvent event,
                       Clock::time_point now, int* stands_for);

    // A held-back address's notification, due at the end of its window.
    struct Summary {
        BindingObservation observation;  // the last change
        char old_hwaddr[kHwTextSize];    // what the last notification said
        int stands_for;
    };
    // Hands every summary due at now to send(const Summary&); with all,
    // those not yet due too (at exit, so that the last mail is right).
    template <typename Send>
    void flush_due(Clock::time_point now, Send&& send, bool all = false) {
        if (waiting_ == 0) return;
        for (auto& [key, entry] : entries_) {
            if (entry.held == 0 || (!all && now < entry.notified_at + window_)) continue;
            finish(entry, now, send);
        }
    }
    // When the next summary is due, or time_point::max().
    Clock::time_point next_due() const;

   private:
    struct Entry {
        Clock::time_point notified_at;
        char notified_hwaddr[kHwTextSize];  // the last notification's new address
        int held = 0;                       // changes held back since
        BindingObservation latest;          // the last of them
    };

    template <typename Send>
    void finish(Entry& entry, Clock::time_point now, Send&& send) {
        --waiting_;
        const int held = entry.held;
        entry.held = 0;
        // Back where the last notification left it: that mail is right.
        if (std::strncmp(entry.latest.hwaddr, entry.notified_hwaddr, kHwTextSize) == 0) return;
        Summary summary{entry.latest, {}, held};
        std::memcpy(summary.old_hwaddr, entry.notified_hwaddr, kHwTextSize);
        entry.notified_at = now;
        std::memcpy(entry.notified_hwaddr, entry.latest.hwaddr, kHwTextSize);
        send(summary);
    }
    Entry& remember(const AddressKey& key, Clock::time_point now);

    std::chrono::seconds window_;
    std::size_t waiting_ = 0;  // entries holding changes back
    std::unordered_map<AddressKey, Entry, AddressKeyHash> entries_;
};
