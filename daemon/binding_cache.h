// The watcher's in-memory copy of current bindings, so that a repeated
// sighting costs memory work and one read of the database file's header
// instead of a database read transaction. The copy may answer only while
// nothing but the watcher itself has changed the file: the header's change
// counter tells, and every doubt empties the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

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

    BindingCache() = default;
    ~BindingCache();
    BindingCache(const BindingCache&) = delete;
    BindingCache& operator=(const BindingCache&) = delete;

    // Opens the database file for reading its header. An empty path (a
    // database in memory) or a file that cannot be opened leaves the cache
    // unable to answer. REQUIRES: the connection to the file is closed only
    // after this object: closing a descriptor of the file would drop the
    // connection's POSIX locks.
    void open(const char* path);

    // Reads the header; empties the table when the file is not in
    // rollback-journal format or its change counter is not the one
    // recorded. True when the table may answer until the next write.
    bool validate();

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

    const CachedBinding* find(int iptype, std::string_view ipaddr) const;
    // REQUIRES: validate() or after_write() returned true since the last
    // change of the file.
    void put(int iptype, std::string_view ipaddr, const CachedBinding& binding);

    std::size_t size() const { return entries_.size(); }

   private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const noexcept {
            return std::hash<std::string_view>{}(key);
        }
    };
    // The header fields that matter, or false when they cannot be read.
    bool read_header(bool* rollback, std::uint32_t* counter) const;

    int fd_ = -1;
    bool counted_ = false;  // counter_ holds the value the table matches
    std::uint32_t counter_ = 0;
    int batch_writes_ = 0;  // writes of the open transaction, not yet counted
    std::unordered_map<std::string, CachedBinding, KeyHash, std::equal_to<>> entries_;
};
