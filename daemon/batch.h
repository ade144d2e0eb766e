// A batch: the writes of a run of frames in one transaction, with the
// warnings and announcements those frames earn, held back until the
// transaction is over. So every announced binding is already on disk (or
// its announcement says it could not be stored), the warnings keep their
// place among the announcements, and one sync serves a whole burst.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "interface_db.h"
#include "observation.h"

class Batch {
   public:
    // A warning held until the batch is over.
    struct Line {
        char text[kDecodeLineSize];
    };
    // A new or changed binding, announced once the batch is over, also when
    // its insert failed (the administrator must hear of it either way).
    struct Announcement {
        BindingObservation observation;
        char old_hwaddr[kHwTextSize];
        bool stored;  // the insert ran (its transaction may still fail)
        char error[kDecodeLineSize];
    };
    using Entry = std::variant<Line, Announcement>;

    // REQUIRES: db outlives the batch.
    explicit Batch(InterfaceDb& db, std::size_t expected_entries);

    // Before the batch's first write: BEGIN IMMEDIATE. True when the
    // transaction is open; when BEGIN failed (another writer past the busy
    // timeout), each statement runs and commits on its own.
    bool open();
    bool in_transaction() const { return open_; }

    void add_line(const char* text);
    // error is the failed insert's reason, or nullptr when it ran.
    void add_announcement(const BindingObservation& observation, const char* old_hwaddr,
                          const char* error);

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
        entries_.clear();
    }

    bool has_entries() const { return !entries_.empty(); }

   private:
    // The transaction is gone: its stored inserts are not, and error says why.
    void lose(const char* error);

    InterfaceDb& db_;
    bool open_ = false;
    std::size_t first_of_transaction_ = 0;
    std::vector<Entry> entries_;
};
