// Keeps the library directory usable and one interface database to one
// daemon: the start-up check that the directory takes new files (SQLite
// creates its journal there), and a write lock on "<ifname>.lock" beside the
// database, held for the daemon's whole life. The lock is an fcntl record
// lock: it belongs to the locking process alone, so neither a notify child
// nor a daemon's exit can leave it held, and a second daemon learns the
// holder's process id.
#pragma once

// Creates and removes a file in the library directory; ends the process with
// "library directory %s is not writable: %s\n" when it cannot.
void check_library_directory();

// Opens (creating) the lock file, close-on-exec. The descriptor stays open
// for the life of the process.
int open_interface_lock(const char* interface_name);

// Ends the process with "interface database %s is in use by process %d\n"
// when another process holds the lock. Used before detaching, so that the
// refusal reaches the starting command.
void refuse_if_locked(int fd, const char* interface_name);

// Takes the lock in the process that will capture (after detaching: a lock
// is not inherited by a forked child), with the same refusal if another
// daemon took it meanwhile.
void hold_interface_lock(int fd, const char* interface_name);
