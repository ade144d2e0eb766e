#include "lifecycle.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag.h"

namespace {

volatile std::sig_atomic_t exit_signal = 0;
pcap_t* capture_handle = nullptr;
// An eventfd the handlers write to: a signal that arrives just before the
// capture loop goes to sleep must still wake it.
int wake_fd = -1;

void wake() {
    if (wake_fd < 0) return;
    const int saved_errno = errno;
    const std::uint64_t one = 1;
    // Full (it never is) would mean awake already.
    [[maybe_unused]] const ssize_t written = write(wake_fd, &one, sizeof one);
    errno = saved_errno;
}

// Only async-signal-safe work here: the frame being handled, with its
// database statement, finishes first, and the main path then ends the
// process once the capture loop has returned.
void record_exit_signal(int signal_number) {
    exit_signal = signal_number;
    if (capture_handle != nullptr) pcap_breakloop(capture_handle);
    wake();
}

// A notify child ended: wake the capture loop so that it collects the
// child and starts a queued command in its place.
void record_child_exit(int) { wake(); }

}  // namespace

void drop_privileges() {
    if (setgid(getgid()) != 0) diag_fatal("setgid failed: %s\n", std::strerror(errno));
    if (setuid(getuid()) != 0) diag_fatal("setuid failed: %s\n", std::strerror(errno));
}

void install_signal_handlers(pcap_t* handle) {
    capture_handle = handle;
    if (wake_fd < 0) {
        wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd < 0) diag_fatal("eventfd failed: %s\n", std::strerror(errno));
    }
    struct sigaction action {};
    action.sa_handler = record_exit_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    // Notify children are counted, so they are collected by the capture
    // loop (never waited for) rather than by the system.
    struct sigaction child {};
    child.sa_handler = record_child_exit;
    child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&child.sa_mask);
    if (sigaction(SIGCHLD, &child, nullptr) != 0) {
        diag_fatal("sigaction for SIGCHLD failed: %s\n", std::strerror(errno));
    }
}

int pending_exit_signal() { return exit_signal; }

int wake_descriptor() { return wake_fd; }

void clear_wake() {
    if (wake_fd < 0) return;
    std::uint64_t count = 0;
    // EAGAIN: nothing to clear.
    [[maybe_unused]] const ssize_t n = read(wake_fd, &count, sizeof count);
}

void handle_exit_signal(int signal_number, const PidFile& pid_file) {
    // Only a claimed pid file: a daemon stopped before its claim would
    // otherwise remove the pid file of the daemon that is already running.
    pid_file.remove();
    diag_warn("exiting on signal %d\n", signal_number);
    std::exit(0);
}

void exit_if_signalled(const PidFile& pid_file) {
    const int signal_number = exit_signal;
    if (signal_number != 0) handle_exit_signal(signal_number, pid_file);
}

void daemonize() {
    const pid_t pid = fork();
    if (pid < 0) diag_fatal("fork failed: %s\n", std::strerror(errno));
    // No exit handlers and no stdio flush: the child owns the open database
    // and everything else from here on.
    if (pid > 0) _exit(0);
    setsid();
}
