// A batch: the writes of a run of frames in one transaction, with the
// warnings and announcements those frames earn, held back until the
// transaction is over. So every announced binding is already on disk (or
// its announcement says it could not be stored), the warnings keep their
// place among the announcements, and one sync serves a whole burst.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "damping.h"
#include "interface_db.h"
#include "observation.h"

class Batch {
   public:
    // A warning held until the batch is over.
    struct Line {
        std::string text;
    };
    // A new or changed binding, announced once the batch is over, also when
    // its insert failed (the administrator must hear of it either way).
    struct Announcement {
        BindingObservation observation;
        char old_hwaddr[kHwTextSize];
        bool stored;        // the insert ran (its transaction may still fail)
        std::string error;  // why it is not stored
        ChangeEvent event;
    };
    using Entry = std::variant<Line, Announcement>;

    // REQUIRES: db outlives the batch. expected_entries are reserved at
    // once, so that a batch of that size allocates nothing.
    Batch(InterfaceDb& db, std::size_t expected_entries);

    // Before the batch's first write: BEGIN IMMEDIATE. True when the
    // transaction is open; when BEGIN failed (another writer past the busy
    // timeout), each statement runs and commits on its own.
    bool open();
    bool in_transaction() const { return open_; }

    // Counts one of the batch's writes.
    void count_write();
    int writes() const { return writes_; }
    std::chrono::steady_clock::time_point first_write() const { return first_write_; }
    // Whether it holds an announcement, which should not wait long.
    bool holds_change() const { return holds_change_; }

    void add_line(const char* text);
    // error is the failed insert's reason, or nullptr when it ran.
    void add_announcement(const BindingObservation& observation, const char* old_hwaddr,
                          ChangeEvent event, const char* error);
    // Counts a refresh that ran; refreshes() are those the commit kept.
    void count_refresh() { ++refreshes_; }
    int refreshes() const { return refreshes_; }

    // After a statement of the batch failed: SQLite rolls the whole
    // transaction back on some failures (a full disk), and the batch's
    // earlier inserts are then gone too. True when that happened.
    bool lost_after_failure();

    enum class Outcome { kNoTransaction, kCommitted, kLost };
    // Commits the transaction, if one is open; on failure rolls it back and
    // marks every stored announcement as not stored.
    Outcome commit();

    // Hands every entry to each, in order, and empties the batch.
    template <typename Each>
    void drain(Each&& each) {
        for (const Entry& entry : entries_) each(entry);
        clear();
    }

    bool has_entries() const { return !entries_.empty(); }

   private:
    // The transaction is gone: its stored inserts are not, and error says why.
    void lose(const char* error);
    void clear();

    InterfaceDb& db_;
    const std::size_t expected_entries_;
    bool open_ = false;
    int writes_ = 0;
    int refreshes_ = 0;
    bool holds_change_ = false;
    std::chrono::steady_clock::time_point first_write_{};
    std::size_t first_of_transaction_ = 0;
    std::vector<Entry> entries_;
};
