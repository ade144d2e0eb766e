// The daemon's process life: giving up set-id privileges, termination
// signals (recorded by the handler, acted on by the main path), detaching
// from the terminal, and the orderly end on SIGTERM or SIGINT.
#pragma once

#include <pcap/pcap.h>

#include <csignal>

#include "pid_file.h"

// Sets the group and then the user identity to the real ones; a failure
// ends the process rather than leaving it with the privileges it meant to
// give up.
void drop_privileges();

// SIGTERM and SIGINT record the signal and break the capture loop of
// handle (which may be nullptr); both and SIGCHLD also wake the capture
// loop's sleep (see wake_descriptor), so that it acts on the signal, or
// collects ended notify children and starts queued ones, at once.
void install_signal_handlers(pcap_t* handle);

// Readable after a signal handled above, until clear_wake(); -1 before
// install_signal_handlers.
int wake_descriptor();
void clear_wake();

// The termination signal received so far, 0 if none.
int pending_exit_signal();

// The orderly end: removes the pid file if this daemon claimed it, warns
// "exiting on signal N" and exits with status 0.
[[noreturn]] void handle_exit_signal(int signal_number, const PidFile& pid_file);

// Calls handle_exit_signal when a termination signal has been recorded.
void exit_if_signalled(const PidFile& pid_file);

// Forks; the parent ends at once with status 0, the child starts a new
// session and returns.
void daemonize();
