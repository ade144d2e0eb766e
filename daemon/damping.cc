#include "damping.h"

#include <algorithm>
#include <cstring>

const char* event_name(ChangeEvent event) {
    switch (event) {
        case ChangeEvent::kNew:
            return "new";
        case ChangeEvent::kChanged:
            return "changed";
        case ChangeEvent::kFlipFlop:
            return "flip-flop";
    }
    return "changed";
}

Damper::Entry& Damper::remember(const AddressKey& key, Clock::time_point now) {
    auto found = entries_.find(key);
    if (found != entries_.end()) return found->second;
    if (entries_.size() >= kMostAddresses) {
        // Full: whichever address comes first goes; what it held back is
        // given up with it (those changes were logged).
        const auto first = entries_.begin();
        if (first->second.held != 0) --waiting_;
        entries_.erase(first);
    }
    Entry& entry = entries_[key];
    entry.notified_at = now;
    return entry;
}

bool Damper::should_notify(const BindingObservation& observation, ChangeEvent event,
                           Clock::time_point now, int* stands_for) {
    *stands_for = 0;
    if (window_.count() == 0) return true;
    const AddressKey key = AddressKey::of(observation);
    auto found = entries_.find(key);
    if (event == ChangeEvent::kFlipFlop && found != entries_.end() &&
        now < found->second.notified_at + window_) {
        Entry& entry = found->second;
        if (entry.held++ == 0) ++waiting_;
        entry.latest = observation;
        return false;
    }
    // Only a change can be followed by a flip-flop back: a first sighting
    // leaves nothing to remember.
    if (found == entries_.end() && event == ChangeEvent::kNew) return true;
    Entry& entry = found != entries_.end() ? found->second : remember(key, now);
    // This notification stands for the changes held back before it.
    *stands_for = entry.held;
    if (entry.held != 0) --waiting_;
    entry.held = 0;
    entry.notified_at = now;
    std::memcpy(entry.notified_hwaddr, observation.hwaddr, kHwTextSize);
    return true;
}

Damper::Clock::time_point Damper::next_due() const {
    auto due = Clock::time_point::max();
    if (waiting_ == 0) return due;
    for (const auto& [key, entry] : entries_) {
        if (entry.held != 0) due = std::min(due, entry.notified_at + window_);
    }
    return due;
}
