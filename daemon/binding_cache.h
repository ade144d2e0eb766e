// The watcher's in-memory copy of current bindings, so that a repeated
// sighting costs memory work instead of a database read transaction. The
// copy may answer only while nothing but the watcher itself has changed the
// file: the change counter in the file's header (read from a mapping of the
// first page, without a system call) tells, and every doubt empties the
// table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "observation.h"

struct CachedBinding {
    std::int64_t rowid;
    std::int64_t sec;  // first sighting, as the current-binding order uses it
    std::int64_t usec;
    std::int64_t utime;
    char hwaddr[18];
};

class BindingCache {
   public:
    // Bounded so that a flood of spoofed addresses cannot grow the daemon.
    static constexpr std::size_t kMaxEntries = 65536;

    // At most capacity entries; with 0 the table never answers, and never
    // reads the file.
    explicit BindingCache(std::size_t capacity = kMaxEntries) : capacity_(capacity) {}
    ~BindingCache();
    BindingCache(const BindingCache&) = delete;
    BindingCache& operator=(const BindingCache&) = delete;

    // Maps the database file's first page for reading its header. An empty
    // path (a database in memory), a file that cannot be opened or one that
    // holds no header yet leaves the cache unable to answer. The descriptor
    // it opens is closed again at once: REQUIRES: no connection of this
    // process holds a lock on the file meanwhile (closing a descriptor of
    // the file drops the process's POSIX locks on it).
    void open(const char* path);

    // Reads the header; empties the table when the file is not in
    // rollback-journal format or its change counter is not the one
    // recorded. True when the table may answer until the next write.
    bool validate();

    // Whether the table may answer: validated, and nothing it could not
    // account for has happened since.
    bool usable() const { return counted_; }

    // Under the write lock, before the first write a decision rests on:
    // true when the counter is still the one recorded, so that nobody else
    // has committed since the table (or a database read) answered. Otherwise
    // validates afresh (the table starts empty) and returns false: the
    // decision must be made again from the database.
    bool unchanged();

    // After one of the watcher's own writes, validated just before it: keeps
    // the table (true) only when the statement succeeded, changed exactly
    // one row and the counter moved on by exactly one; empties it otherwise.
    bool after_write(bool succeeded, int changes);

    // The same for a write inside one of the watcher's transactions: the
    // counter moves only when the transaction commits, so each write is
    // checked for its one changed row here and the counter once, by
    // after_commit. Until then the table holds the transaction's own rows,
    // which the same connection reads.
    bool after_batch_write(bool succeeded, int changes);
    // At the end of the transaction: keeps the table only when it committed
    // and the counter moved on by exactly one (or nothing was written).
    void after_commit(bool committed);

    // Empties the table and forgets the counter (expiry, maintenance).
    void clear();

    const CachedBinding* find(const BindingObservation& observation) const;
    // REQUIRES: validate() or after_write() returned true since the last
    // change of the file.
    void put(const BindingObservation& observation, const CachedBinding& binding);

    std::size_t size() const { return entries_.size(); }
    // How often entries were thrown away: every doubt, every expiry pass.
    std::uint64_t clears() const { return clears_; }

   private:
    void drop_entries();
    // The header fields that matter, or false when they cannot be read.
    bool read_header(bool* rollback, std::uint32_t* counter) const;

    std::size_t capacity_;
    std::uint64_t clears_ = 0;
    // The file's first page, mapped read-only and shared: what another
    // process commits shows at once, and reading it costs no system call.
    static constexpr std::size_t kHeaderMapSize = 4096;
    void* header_ = nullptr;
    bool counted_ = false;  // counter_ holds the value the table matches
    std::uint32_t counter_ = 0;
    int batch_writes_ = 0;  // writes of the open transaction, not yet counted
    std::unordered_map<AddressKey, CachedBinding, AddressKeyHash> entries_;
};
