#include "batch.h"

#include <cstring>

#include "diag.h"

Batch::Batch(InterfaceDb& db, std::size_t expected_entries) : db_(db) {
    // Reserved once: no allocation while capturing.
    entries_.reserve(expected_entries);
}

bool Batch::open() {
    if (open_) return true;
    open_ = db_.begin();
    first_of_transaction_ = entries_.size();
    return open_;
}

void Batch::add_line(const char* text) {
    Line line;
    copy_bounded(line.text, text, sizeof line.text);
    entries_.emplace_back(line);
}

void Batch::add_announcement(const BindingObservation& observation, const char* old_hwaddr,
                             const char* error) {
    Announcement& a = std::get<Announcement>(entries_.emplace_back(Announcement{}));
    a.observation = observation;
    copy_bounded(a.old_hwaddr, old_hwaddr, sizeof a.old_hwaddr);
    a.stored = error == nullptr;
    copy_bounded(a.error, error != nullptr ? error : "", sizeof a.error);
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
    char error[kDecodeLineSize];
    copy_bounded(error, db_.error_message(), sizeof error);
    // A COMMIT that failed on a full disk finds the transaction already
    // rolled back; one that met a busy database past the timeout leaves it
    // open.
    if (db_.in_transaction()) db_.rollback();
    lose(error);
    return Outcome::kLost;
}

void Batch::lose(const char* error) {
    for (std::size_t i = first_of_transaction_; i < entries_.size(); ++i) {
        auto* a = std::get_if<Announcement>(&entries_[i]);
        if (a == nullptr || !a->stored) continue;
        a->stored = false;
        copy_bounded(a->error, error, sizeof a->error);
    }
    open_ = false;
}
