// The pid file: claimed (locked, checked against a live owner, emptied)
// before the daemon detaches, written with the detached process's id after.
#pragma once

// Set once claim_pid_file has returned: only then is the file this
// daemon's to remove.
extern bool pid_file_claimed;

// Descriptor of the locked, empty pid file; ends the process when another
// live daemon owns it or it cannot be used.
int claim_pid_file(const char* path);

// Writes "<pid>\n" and closes the descriptor, which releases the lock.
void write_pid_file(int fd, const char* path);
