// Diagnostics shared by every program: warnings that let the caller go on,
// fatal errors that end the process with status 1, both on standard error or
// in the system log, plus the one bounded text copy the store relies on.
#pragma once

#include <cstddef>

// Set to 1 by the -s option of the daemon and the updater; never cleared.
extern int use_syslog;

// Reports the message and returns. The format carries its own "\n".
[[gnu::format(printf, 1, 2)]] void diag_warn(const char* format, ...);

// Reports the message and ends the process through exit(1), so stdio
// buffers are flushed; nothing of the program's own is cleaned up first.
[[noreturn, gnu::format(printf, 1, 2)]] void diag_fatal(const char* format, ...);

// Copies at most size - 1 bytes of source and always terminates.
// REQUIRES: size >= 1, buffers do not overlap.
void copy_bounded(char* destination, const char* source, std::size_t size);
