#include "batch.h"

#include "diag.h"

Batch::Batch(InterfaceDb& db, std::size_t expected_entries)
    : db_(db), expected_entries_(expected_entries) {
    entries_.reserve(expected_entries);
}

bool Batch::open() {
    if (open_) return true;
    open_ = db_.begin();
    first_of_transaction_ = entries_.size();
    return open_;
}

void Batch::count_write() {
    if (writes_++ == 0) first_write_ = std::chrono::steady_clock::now();
}

void Batch::add_line(const char* text) { entries_.emplace_back(Line{text}); }

void Batch::add_announcement(const BindingObservation& observation, const char* old_hwaddr,
                             ChangeEvent event, const char* error) {
    Announcement& a = std::get<Announcement>(entries_.emplace_back(Announcement{}));
    a.observation = observation;
    a.event = event;
    copy_bounded(a.old_hwaddr, old_hwaddr, sizeof a.old_hwaddr);
    a.stored = error == nullptr;
    if (error != nullptr) a.error = error;
    holds_change_ = true;
}

bool Batch::lost_after_failure() {
    if (!open_ || db_.in_transaction()) return false;
    lose(db_.error_message());
    return true;
}

Batch::Outcome Batch::commit() {
    if (!open_) return Outcome::kNoTransaction;
    if (db_.commit()) {
        open_ = false;
        return Outcome::kCommitted;
    }
    const std::string error = db_.error_message();
    // A COMMIT that failed on a full disk finds the transaction already
    // rolled back; one that met a busy database past the timeout leaves it
    // open.
    if (db_.in_transaction()) db_.rollback();
    lose(error.c_str());
    return Outcome::kLost;
}

void Batch::lose(const char* error) {
    for (std::size_t i = first_of_transaction_; i < entries_.size(); ++i) {
        auto* a = std::get_if<Announcement>(&entries_[i]);
        if (a == nullptr || !a->stored) continue;
        a->stored = false;
        a->error = error;
    }
    refreshes_ = 0;
    open_ = false;
}

void Batch::clear() {
    entries_.clear();
    // A burst's entries are not kept for ever: a trunk has many batches.
    if (entries_.capacity() > 2 * expected_entries_ + 16) {
        entries_.shrink_to_fit();
        entries_.reserve(expected_entries_);
    }
    writes_ = 0;
    refreshes_ = 0;
    holds_change_ = false;
}
