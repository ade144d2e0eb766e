// Keeps the library directory usable and one interface database to one
// daemon: the start-up check that the directory takes new files (SQLite
// creates its journal there), and a write lock on "<ifname>.lock" beside the
// database, held for the daemon's whole life. The lock is an fcntl record
// lock: it belongs to the locking process alone, so neither a notify child
// nor a daemon's exit can leave it held, and a second daemon learns the
// holder's process id.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "library_dir.h"

// Creates and removes a file in the library directory; ends the process with
// "library directory %s is not writable: %s\n" when it cannot.
void check_library_directory(const LibraryDir& library);

class InterfaceLock {
   public:
    // Opens (creating) the lock file of the database base name,
    // close-on-exec; ends the process when it cannot.
    InterfaceLock(const LibraryDir& library, const char* database_name);
    ~InterfaceLock();
    InterfaceLock(const InterfaceLock&) = delete;
    InterfaceLock& operator=(const InterfaceLock&) = delete;

    // Ends the process with "interface database %s is in use by process
    // %d\n" when another process holds the lock. Used before detaching, so
    // that the refusal reaches the starting command.
    void refuse_if_held() const;

    // Takes the lock in the process that will capture (after detaching: a
    // lock is not inherited by a forked child), with the same refusal if
    // another process took it meanwhile.
    void hold();

    // For a database that a running daemon adds (a VLAN's): the lock,
    // taken; or nullptr when another process holds it (*holder is its id)
    // or when the lock file cannot be opened or locked (warned; *holder is
    // -1). Nothing here ends the process.
    static std::unique_ptr<InterfaceLock> try_hold(const LibraryDir& library,
                                                   const char* database_name, pid_t* holder);

    // The database path the lock stands for.
    const std::string& database() const;

   private:
    InterfaceLock() = default;

    [[noreturn]] void in_use(pid_t holder) const;

    std::string database_;  // the path the refusal names
    int fd_ = -1;
};
